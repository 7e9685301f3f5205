// The document object, its segmented element index, navigation and the two
// edit primitives that every writing operation uses.
#include "markup/xml_doc.h"
#include "markup/xml_doc_internal.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/large_buffer.h"

namespace kelvane {

using namespace markup_internal;

namespace {

constexpr int32_t kSegmentShift = 16;

// Allocates `count` records without clearing them; null on exhaustion.
ElementRecord* AllocateRecords(int64_t count) {
  return new (std::nothrow) ElementRecord[static_cast<size_t>(count)];
}

// The storage of the largest text a document gave up, kept for the next
// document that grows: a host writes a response of about the same size on
// every call, and memory already mapped in costs no page faults, no page
// zeroing and no copies while the text grows. Only storage is kept, never
// text: a document taking it starts from its own text. Plain statics, so
// that nothing depends on thread-exit order in a library that is unloaded.
std::mutex g_spareTextMutex;
std::u16string g_spareText;

// Keeps the storage of `text` as the spare when it is large and larger than
// the spare; `text` is left empty either way.
void KeepSpareText(std::u16string* text) {
  if (text->capacity() * sizeof(char16_t) >= kelvane::platform::kPrefaultBufferBytes) {
    std::lock_guard<std::mutex> lock(g_spareTextMutex);
    if (text->capacity() > g_spareText.capacity()) {
      text->clear();
      g_spareText.swap(*text);
    }
  }
  std::u16string().swap(*text);
}

// Moves the spare into `fresh` (empty) when it holds at least `capacity`
// units; false otherwise.
bool TakeSpareText(size_t capacity, std::u16string* fresh) {
  std::lock_guard<std::mutex> lock(g_spareTextMutex);
  if (g_spareText.capacity() < capacity) return false;
  fresh->swap(g_spareText);
  fresh->clear();
  return true;
}

}  // namespace

CXmlDoc::CXmlDoc() {
  // Parsing the empty text sets up the index (8 slots) and the message
  // "Empty document". When even that cannot be allocated the document stays
  // without index; every writing operation then returns false until a
  // LoadText succeeds.
  BuildIndex();
}

CXmlDoc::~CXmlDoc() {
  if (m_recordCapacity > 0) {
    int32_t last = (m_recordCapacity - 1) >> kSegmentShift;
    for (int32_t i = 0; i <= last; ++i) delete[] m_segmentTable[i];
  }
  delete[] m_segmentTable;
  KeepSpareText(&m_strText);
}

bool CXmlDoc::ReserveRecords(int32_t wanted) {
  int64_t w = wanted;
  if (w == 0) w = static_cast<int64_t>(m_posNextFree) + m_posNextFree / 2;
  if (m_recordCapacity >= w) return true;

  const int32_t oldLast = m_recordCapacity > 0 ? (m_recordCapacity - 1) >> kSegmentShift : 0;
  int64_t newLast = (w - 1) >> kSegmentShift;
  // One segment at a time: callers check the capacity again before use.
  if (newLast > oldLast + 1) {
    newLast = oldLast + 1;
    w = (newLast + 1) * kSegmentRecords;
  }
  if (w > INT32_MAX) return false;
  const int32_t n = static_cast<int32_t>(newLast);
  const int32_t k = m_recordCapacity - oldLast * kSegmentRecords;  // records in the old last segment

  // Allocate everything first so that a failure changes nothing.
  std::unique_ptr<ElementRecord*[]> newTable;
  int32_t newTableSize = m_segmentTableSize;
  if (m_segmentTableSize <= n) {
    newTableSize = n * 2 + 4;
    newTable.reset(new (std::nothrow) ElementRecord*[newTableSize]);
    if (!newTable) return false;
  }
  std::unique_ptr<ElementRecord[]> fullOldLast;
  if (oldLast < n && k < kSegmentRecords) {
    fullOldLast.reset(AllocateRecords(kSegmentRecords));
    if (!fullOldLast) return false;
  }
  std::unique_ptr<ElementRecord[]> segment(AllocateRecords(w - static_cast<int64_t>(n) * kSegmentRecords));
  if (!segment) return false;

  // Commit.
  if (newTable) {
    if (m_recordCapacity > 0) {
      int32_t used = ((m_recordCapacity - 1) >> kSegmentShift) + 1;
      std::memcpy(newTable.get(), m_segmentTable, sizeof(ElementRecord*) * used);
    }
    delete[] m_segmentTable;
    m_segmentTable = newTable.release();
    m_segmentTableSize = newTableSize;
  }
  if (fullOldLast) {
    ElementRecord* old = m_recordCapacity > 0 ? m_segmentTable[oldLast] : nullptr;
    if (k > 0) std::memcpy(static_cast<void*>(fullOldLast.get()), old, sizeof(ElementRecord) * k);
    delete[] old;
    m_segmentTable[oldLast] = fullOldLast.release();
  }
  if (n == oldLast && k > 0) {
    ElementRecord* old = m_segmentTable[oldLast];
    std::memcpy(static_cast<void*>(segment.get()), old, sizeof(ElementRecord) * k);
    delete[] old;
  }
  m_segmentTable[n] = segment.release();
  m_recordCapacity = static_cast<int32_t>(w);
  return true;
}

void CXmlDoc::GrowText(size_t capacity) {
  // A fresh buffer is hinted and mapped in before it is touched, then
  // filled; with std::basic_string::reserve the copy would come first. The
  // text grows into the whole capacity before the next growth, so all of it
  // is mapped in at once rather than one page fault at a time.
  std::u16string fresh;
  if (TakeSpareText(capacity, &fresh)) {
    fresh.append(m_strText);
    m_strText.swap(fresh);
    return;
  }
  fresh.reserve(capacity);
  const size_t bytes = fresh.capacity() * sizeof(char16_t);
  if (bytes >= kelvane::platform::kLargeBufferBytes) {
    kelvane::platform::AdviseLargeBuffer(&fresh[0], bytes);
  }
  if (bytes >= kelvane::platform::kPrefaultBufferBytes) {
    kelvane::platform::PrefaultBuffer(&fresh[0], bytes);
  }
  fresh.append(m_strText);
  m_strText.swap(fresh);
}

bool CXmlDoc::ReserveText(size_t capacity) {
  if (capacity <= m_strText.capacity()) return true;
  if (static_cast<uint64_t>(capacity) > static_cast<uint64_t>(m_maxTextLength)) return false;
  try {
    GrowText(capacity);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool CXmlDoc::SpliceText(int32_t offset, int32_t removeCount, std::u16string_view replacement) {
  const size_t oldLength = m_strText.size();
  const size_t newLength = oldLength - static_cast<size_t>(removeCount) + replacement.size();
  if (static_cast<int64_t>(newLength) > m_maxTextLength) return false;
  try {
    if (newLength > m_strText.capacity()) {
      size_t grown = newLength + newLength / 2 + 128;
      if (grown < newLength) grown = newLength;
      GrowText(grown);
    }
  } catch (const std::exception&) {
    return false;
  }
  // Capacity suffices now, so the replacement cannot allocate.
  m_strText.replace(static_cast<size_t>(offset), static_cast<size_t>(removeCount), replacement.data(),
                    replacement.size());
  ++m_editStamp;
  return true;
}

void CXmlDoc::ShiftFollowing(int32_t pos, int32_t delta, bool skipChildren) {
  ElementRecord* v = &RecordAt(pos);
  if (v->StartTagLength() == 0) return;  // the root record
  int32_t boundary = v->parent;
  int32_t visited = pos;
  bool firstStep = true;
  for (;;) {
    int32_t next = 0;
    bool climb = true;
    if (visited == boundary) {
      boundary = v->parent;
    } else if (!(firstStep && skipChildren) && v->firstChild != 0) {
      next = v->firstChild;
      climb = false;
    }
    if (climb) {
      if (v->nextSibling != 0) {
        next = v->nextSibling;
      } else {
        int32_t c = v->parent;
        next = boundary;
        while (c != boundary) {
          const ElementRecord& cr = RecordAt(c);
          if (cr.nextSibling != 0) {
            next = cr.nextSibling;
            break;
          }
          c = cr.parent;
        }
      }
    }
    ElementRecord* x = &RecordAt(next);
    if (next == boundary) {
      x->extent += delta;
    } else {
      x->offset += delta;
    }
    firstStep = false;
    visited = next;
    v = x;
    if (v->StartTagLength() == 0) return;
  }
}

bool CXmlDoc::IntoElement() {
  if (m_posCurrent == 0 || m_nodeKind != 1) return false;
  m_posParent = m_posCurrent;
  m_posCurrent = m_posChild;
  m_posChild = 0;
  m_nodeKind = m_posCurrent != 0 ? 1 : 0;
  return true;
}

bool CXmlDoc::OutOfElement() {
  if (m_posParent == 0) return false;
  m_posChild = m_posCurrent;
  m_posCurrent = m_posParent;
  m_posParent = RecordAt(m_posParent).parent;
  m_nodeKind = 1;
  return true;
}

}  // namespace kelvane
