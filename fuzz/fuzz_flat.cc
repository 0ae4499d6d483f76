// The tool's flat interface with random texts, absent pointers and tiny buffers: every call
// answers a code (never a crash), a value is copied only whole and only when it fits, and a
// value written reads back.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "services/flat/qem_flat.h"

namespace {

std::string g_root;  // the scratch machine root, emptied now and then

// A text, or null one time in eight.
struct Arg {
  std::string text;
  bool absent = false;
  const char* get() const { return absent ? nullptr : text.c_str(); }
};

Arg TextArg(qemfuzz::Input& in, const char* const* known, size_t count) {
  Arg arg;
  const uint8_t pick = in.Byte();
  if (pick % 8 == 0) {
    arg.absent = true;
  } else if (pick % 8 < 4) {
    arg.text = known[pick % count];
  } else {
    arg.text = in.Text(40);
    arg.text = arg.text.c_str();
  }
  return arg;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_root = qemfuzz::EnterScratch() + "/root";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kKeys[] = {"Key", "PayloadName", "a", "Mapping"};
  static const char* const kSubDomains[] = {"Product{|}1", "{6F1A2B3C-4D5E-4F60-8172-93A4B5C6D7E8}",
                                            "B", "__SLCMeta__"};
  static unsigned inputs = 0;
  if (++inputs % 512 == 0) {
    // The cache folder gains a file per new sub-domain: start afresh now and then.
    std::error_code error;
    std::filesystem::remove_all(g_root, error);
    std::filesystem::create_directories(g_root, error);
  }

  qemfuzz::Input in(data, size);
  _QemPCDService* service = (in.Byte() % 16 == 0) ? nullptr : QemPCDServiceCreate(nullptr);
  _QemStringList* list = QemStringListCreate();

  const int operations = in.Byte() % 12;
  for (int i = 0; i < operations && !in.Empty(); ++i) {
    const uint8_t kind = in.Byte() % 7;
    const int32_t store = in.Byte() % 3 == 0 ? 0 : 1;
    switch (kind) {
      case 0: {  // a read into a buffer of exactly `size` bytes (ASan sees any overrun)
        const int32_t bufferSize = static_cast<int8_t>(in.Byte()) % 12;
        const bool noBuffer = bufferSize == 11;
        const Arg key = TextArg(in, kKeys, 4);
        const Arg subDomain = TextArg(in, kSubDomains, 4);
        std::vector<char> buffer(bufferSize > 0 ? bufferSize : 1, '#');
        const std::vector<char> before = buffer;
        const int32_t code = QemPCDServiceGetValueForKeyInSubDomain(
            service, noBuffer ? nullptr : buffer.data(), bufferSize, key.get(), subDomain.get(),
            store);
        if (code == kQemFlatOk) {
          QEM_FUZZ_EXPECT(bufferSize > 0 &&
                              std::memchr(buffer.data(), '\0', bufferSize) != nullptr,
                          "value copied without its terminator");
        } else {
          QEM_FUZZ_EXPECT(buffer == before, "buffer changed by a failed read: " +
                                                std::to_string(code));
        }
        break;
      }
      case 1: {  // a write, then the value reads back whole
        const Arg value = TextArg(in, kKeys, 4);
        const Arg key = TextArg(in, kKeys, 4);
        const Arg subDomain = TextArg(in, kSubDomains, 4);
        const int32_t code = QemPCDServiceSetValueForKeyInSubDomain(
            service, value.get(), key.get(), subDomain.get(), store);
        if (code == kQemFlatOk && store != 0) {
          char buffer[512];
          const int32_t read = QemPCDServiceGetValueForKeyInSubDomain(
              service, buffer, sizeof buffer, key.get(), subDomain.get(), store);
          if (value.text.size() < sizeof buffer) {
            QEM_FUZZ_EXPECT(read == kQemFlatOk && value.text == buffer,
                            "wrote [" + value.text + "] to " + subDomain.text + "/" + key.text +
                                ", read " + std::to_string(read));
          }
        }
        break;
      }
      case 2: {
        const Arg key = TextArg(in, kKeys, 4);
        const Arg subDomain = TextArg(in, kSubDomains, 4);
        QemPCDServiceRemoveKeyInSubDomain(service, key.get(), subDomain.get(), store);
        break;
      }
      case 3: {
        const uint32_t count = QemStringListGetCount(list);
        const int32_t code =
            QemPCDServiceGetSubDomains(service, in.Byte() % 8 == 0 ? nullptr : list, store);
        if (code != kQemFlatOk)
          QEM_FUZZ_EXPECT(QemStringListGetCount(list) == count, "list changed by a failure");
        break;
      }
      case 4: {  // the string list, also without a list
        _QemStringList* target = in.Byte() % 8 == 0 ? nullptr : list;
        const Arg text = TextArg(in, kKeys, 4);
        QemStringListAdd(target, text.get());
        const uint32_t count = QemStringListGetCount(target);
        QemStringListReset(target);
        uint32_t seen = 0;
        while (QemStringListGetNext(target) != nullptr && seen <= count) ++seen;
        QEM_FUZZ_EXPECT(seen == count, std::to_string(seen) + " of " + std::to_string(count));
        break;
      }
      case 5: {  // a log line through a service found by a random name (or none)
        const Arg name = TextArg(in, kKeys, 4);
        _QemLoggingService* logging = in.Byte() % 4 == 0 ? nullptr : QemLoggingServiceGet(name.get());
        const Arg component = TextArg(in, kKeys, 4);
        const Arg text = TextArg(in, kKeys, 4);
        const int32_t level = static_cast<int8_t>(in.Byte());
        QemLog(logging, component.get(), level, in.Byte() % 2 ? "%s" : nullptr, "%s",
               text.absent ? "(none)" : text.text.c_str());
        QemObjectRelease(logging);
        break;
      }
      default: {
        QemObjectRetain(nullptr);
        QemObjectRelease(nullptr);
        break;
      }
    }
  }
  QemObjectRelease(list);
  QemObjectRelease(service);
  return 0;
}
