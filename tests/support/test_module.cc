// A library of the tests' own for the module tests to load by path and by
// name, call into and unload again. Plain C exports only, so that the loader
// can unload it when its last reference goes.
#ifdef _WIN32
#define KVTR_TEST_EXPORT __declspec(dllexport)
#else
#define KVTR_TEST_EXPORT __attribute__((visibility("default")))
#endif

extern "C" KVTR_TEST_EXPORT int KvtrTestModuleAnswer(int question) { return question * 2; }
