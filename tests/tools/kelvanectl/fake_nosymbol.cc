// A loadable library without the entry point, for testing that kelvanectl
// refuses it.
extern "C" __attribute__((visibility("default"))) int KelvaneFakeSomethingElse() { return 0; }
