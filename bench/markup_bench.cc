// Markup engine benchmark against pugixml and tinyxml2, measured in one run:
//   1. build-and-save of a process-list-shaped response (root, "detail",
//      N "ProcessItem" children with 13 attributes), saved as UTF-16LE with
//      byte-order mark;
//   2. load of a ~20 MB well-formed document of the same shape;
//   3. growth of the build-and-save time from 100k to 200k items.
// Every figure is the median of several repetitions.
//
// Usage: markup_bench [items (200000)] [repetitions (5)]
#include <pugixml.hpp>
#include <tinyxml2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/text.h"
#include "markup/xml_doc.h"

// A program of its own: the library's names are used unqualified.
using namespace kelvane;  // NOLINT(build/namespaces)

namespace {

const char* const kAttributeNames[13] = {"name",    "PID",         "CommandLine",    "User",       "CPU",
                                         "Memory",  "Company",     "Description",    "ProductVersion",
                                         "FileVersion", "Path",    "FileSize",       "Priority"};

// Attribute values of item `i`; now and then one needs entity encoding.
std::vector<std::string> ItemValues(int i) {
  const std::string exe = "proc" + std::to_string(i % 977) + ".exe";
  std::vector<std::string> v(13);
  v[0] = exe;
  v[1] = std::to_string(1000 + i);
  v[2] = (i % 10 == 0) ? "\"C:\\Program Files\\App\\" + exe + "\" -flag <x> & y"
                       : "C:\\Program Files\\App\\" + exe + " -service";
  v[3] = (i % 3 == 0) ? "SYSTEM" : "operator";
  v[4] = std::to_string(i % 100);
  v[5] = std::to_string(4096 * (i % 5000));
  v[6] = (i % 25 == 0) ? "Tom & Jerry's Software" : "Example Corporation";
  v[7] = "Example service host";
  v[8] = "10.0." + std::to_string(i % 20000);
  v[9] = "10.0." + std::to_string(i % 20000) + ".1";
  v[10] = "C:\\Program Files\\App\\" + exe;
  v[11] = std::to_string(100000 + i % 70000);
  v[12] = "Normal";
  return v;
}

struct Data {
  std::vector<std::u16string> names16;
  std::vector<std::vector<std::u16string>> values16;
  std::vector<std::vector<std::string>> values8;
};

Data MakeData(int items) {
  Data d;
  for (const char* n : kAttributeNames) d.names16.push_back(kelvane::Utf8ToUtf16(n));
  d.values16.reserve(items);
  d.values8.reserve(items);
  for (int i = 0; i < items; ++i) {
    d.values8.push_back(ItemValues(i));
    std::vector<std::u16string> w;
    for (const std::string& s : d.values8.back()) w.push_back(kelvane::Utf8ToUtf16(s));
    d.values16.push_back(std::move(w));
  }
  return d;
}

const std::u16string kDeclaration = u"<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?>";

void BuildOurs(CXmlDoc& doc, const Data& d, int items) {
  doc.LoadText(kDeclaration);
  doc.AddElement(u"ZEV_GetProcessList_KLVResponse");
  doc.AddElement(u"detail", CXmlDoc::ADD_CHILD);
  doc.IntoElement();
  for (int i = 0; i < items; ++i) {
    doc.AddElement(u"ProcessItem", CXmlDoc::ADD_CHILD);
    const int32_t pos = doc.ChildPosition();
    for (int a = 0; a < 13; ++a) doc.SetAttribute(pos, d.names16[a], d.values16[i][a]);
  }
  doc.OutOfElement();
}

void BuildPugi(pugi::xml_document& doc, const Data& d, int items) {
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "utf-16";
  decl.append_attribute("standalone") = "no";
  pugi::xml_node root = doc.append_child("ZEV_GetProcessList_KLVResponse");
  pugi::xml_node detail = root.append_child("detail");
  for (int i = 0; i < items; ++i) {
    pugi::xml_node item = detail.append_child("ProcessItem");
    for (int a = 0; a < 13; ++a) item.append_attribute(kAttributeNames[a]) = d.values8[i][a].c_str();
  }
}

double Seconds(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct BuildTimes {
  double ours;
  double pugi;
  double oursSave;  // the part of `ours` spent saving
  double pugiSave;
};

BuildTimes MeasureBuildAndSave(const Data& d, int items, int reps, const std::string& dir) {
  std::vector<double> ours, pugi, oursSave, pugiSave;
  const std::string oursPath = dir + "/ours.xml";
  const std::string pugiPath = dir + "/pugi.xml";
  for (int r = 0; r < reps; ++r) {
    double save = 0;
    ours.push_back(Seconds([&] {
      CXmlDoc doc;
      BuildOurs(doc, d, items);
      save = Seconds([&] {
        if (!doc.SaveFile(kelvane::Utf8ToUtf16(oursPath))) std::fprintf(stderr, "save failed\n");
      });
    }));
    oursSave.push_back(save);
    pugi.push_back(Seconds([&] {
      pugi::xml_document doc;
      BuildPugi(doc, d, items);
      save = Seconds([&] {
        if (!doc.save_file(pugiPath.c_str(), "", pugi::format_indent | pugi::format_write_bom,
                           pugi::encoding_utf16_le))
          std::fprintf(stderr, "pugixml save failed\n");
      });
    }));
    pugiSave.push_back(save);
  }
  unlink(oursPath.c_str());
  unlink(pugiPath.c_str());
  return {Median(ours), Median(pugi), Median(oursSave), Median(pugiSave)};
}

}  // namespace

int main(int argc, char** argv) {
  const int items = argc > 1 ? std::atoi(argv[1]) : 200000;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  char dirTemplate[] = "/tmp/kelvane-bench-XXXXXX";
  const char* dirName = mkdtemp(dirTemplate);
  if (dirName == nullptr) return 1;
  const std::string dir = dirName;

  const Data data = MakeData(items);

  // 1. Build and save.
  const BuildTimes full = MeasureBuildAndSave(data, items, reps, dir);
  std::printf("build+save %d items: ours %.3f s (save %.3f), pugixml %.3f s (save %.3f), ratio %.2f (goal <= 1.00)\n",
              items, full.ours, full.oursSave, full.pugi, full.pugiSave, full.ours / full.pugi);

  // 3. Growth from half the items to all of them.
  const BuildTimes half = MeasureBuildAndSave(data, items / 2, reps, dir);
  std::printf("growth %d -> %d items: ours %.2fx, pugixml %.2fx (goal about 2.0 or less)\n", items / 2, items,
              full.ours / half.ours, full.pugi / half.pugi);

  // 2. Load of a ~20 MB (UTF-16) document of the same shape.
  CXmlDoc source;
  int loadItems = 1000;
  for (;;) {
    BuildOurs(source, data, std::min(loadItems, items));
    if (source.Text().size() * 2 >= 20u * 1000 * 1000 || loadItems >= items) break;
    loadItems = static_cast<int>(loadItems * (20e6 / (source.Text().size() * 2.0))) + 100;
  }
  const std::u16string text = source.Text();
  const std::string utf8 = kelvane::Utf16ToUtf8(text);
  std::vector<double> ours, pugi, tiny;
  for (int r = 0; r < reps; ++r) {
    ours.push_back(Seconds([&] {
      CXmlDoc doc;
      if (!doc.LoadText(text)) std::fprintf(stderr, "load failed\n");
    }));
    pugi.push_back(Seconds([&] {
      pugi::xml_document doc;
      if (!doc.load_buffer(text.data(), text.size() * 2, pugi::parse_default, pugi::encoding_utf16_le))
        std::fprintf(stderr, "pugixml load failed\n");
    }));
    tiny.push_back(Seconds([&] {
      tinyxml2::XMLDocument doc;
      if (doc.Parse(utf8.data(), utf8.size()) != tinyxml2::XML_SUCCESS) std::fprintf(stderr, "tinyxml2 failed\n");
    }));
  }
  const double o = Median(ours), p = Median(pugi), t = Median(tiny);
  std::printf("load %.1f MB (%d items): ours %.3f s, pugixml %.3f s, tinyxml2 %.3f s; "
              "ratio to pugixml %.2f (goal <= 1.50), to tinyxml2 %.2f (goal < 1.00)\n",
              text.size() * 2 / 1e6, loadItems, o, p, t, o / p, o / t);
  rmdir(dir.c_str());
  return 0;
}
