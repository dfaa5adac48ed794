// COM as the library uses it: per-thread initialisation, object creation
// and its failures, and class identifiers as text.
#include <gtest/gtest.h>

#include <thread>

#include "support/test_machine.h"

namespace kvtr::test {
namespace {

const CLSID kUnknownClass = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const IID kUnknownInterface = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Runs `body` on a thread of its own, so that each case starts without COM.
template <typename Body>
void OnFreshThread(Body body) {
  std::thread(body).join();
}

TEST(Com, InitialisationCountsPerThreadAndKeepsItsModel) {
  OnFreshThread([] {
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
    CoUninitialize();
    // Fully uninitialised, the thread may choose again.
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
  });
}

TEST(Com, CreatingObjectsNeedsComAndAKnownClass) {
  OnFreshThread([] {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(kUnknownClass, nullptr, CLSCTX_INPROC_SERVER, kUnknownInterface, &object));
    EXPECT_EQ(nullptr, object);
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(kUnknownClass, nullptr, CLSCTX_INPROC_SERVER, kUnknownInterface, &object));
    EXPECT_EQ(nullptr, object);
    CoUninitialize();
  });
}

TEST(Com, ClassIdentifiersAreBracedUpperCaseText) {
  const GUID id = {0x3C7E1A52, 0x8B40, 0x4F1D, {0x9E, 0x26, 0x71, 0xA0, 0xC4, 0xD5, 0xB8, 0xE3}};
  WCHAR text[64];
  ASSERT_EQ(39, StringFromGUID2(id, text, 64));
  EXPECT_EQ(WString(W("{3C7E1A52-8B40-4F1D-9E26-71A0C4D5B8E3}")), WString(text));
  EXPECT_EQ(0, StringFromGUID2(id, text, 38)) << "no room for the terminator";
}

TEST(Com, TaskMemoryIsReleasedByCoTaskMemFree) {
  void* block = CoTaskMemAlloc(64);
  ASSERT_NE(nullptr, block);
  CoTaskMemFree(block);
  CoTaskMemFree(nullptr);
}

}  // namespace
}  // namespace kvtr::test
