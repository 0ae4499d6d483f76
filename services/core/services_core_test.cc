#include <gtest/gtest.h>

#include <string>

#include "services/core/errno_service.h"
#include "services/core/ref_object.h"
#include "services/core/service_loader.h"

namespace {

// A service that tells when it is destroyed.
class ProbeService : public _QemService {
 public:
  explicit ProbeService(bool* destroyed) : destroyed_(destroyed) {}
  ~ProbeService() override { *destroyed_ = true; }
  uint32_t TypeCode() const override { return 0x50726F62; }

 private:
  bool* destroyed_;
};

TEST(RefObjectTest, BornWithOneReferenceAndDestroyedByTheLastRelease) {
  bool destroyed = false;
  auto* service = new ProbeService(&destroyed);
  EXPECT_EQ(service->RefCount(), 1);
  EXPECT_EQ(service->Retain(), service);
  EXPECT_EQ(service->RefCount(), 2);
  service->Release();
  EXPECT_EQ(service->RefCount(), 1);
  EXPECT_FALSE(destroyed);
  service->Release();
  EXPECT_TRUE(destroyed);
}

TEST(ServiceLoaderTest, MadeOnceAndSharedByEveryService) {
  bool destroyed = false;
  auto* first = new ProbeService(&destroyed);
  auto* second = new ProbeService(&destroyed);
  ASSERT_NE(first->Loader(), nullptr);
  EXPECT_EQ(first->Loader(), second->Loader());
  EXPECT_EQ(first->Loader(), QemServiceLoader::Get());
  EXPECT_TRUE(first->Loader()->LoggingEnabled());
  first->Release();
  second->Release();
}

TEST(ServiceLoaderTest, SearchPathsAreAbsoluteAndListedOnce) {
  QemServiceLoader* loader = QemServiceLoader::Get();
  ASSERT_NE(loader, nullptr);
  std::string current;
  ASSERT_TRUE(platform::CurrentFolder(&current));
  const size_t before = loader->SearchPaths().size();
  loader->AddSearchPath(current.c_str());  // already there from the loader's creation
  EXPECT_EQ(loader->SearchPaths().size(), before);

  const std::string sep = platform::kPathSeparator;
  const std::string lower = current + sep + "qem-case";
  const std::string upper = current + sep + "QEM-CASE";
  loader->AddSearchPath(lower.c_str());
  loader->AddSearchPath(upper.c_str());
  loader->AddSearchPath(lower.c_str());
  ASSERT_EQ(loader->SearchPaths().size(), before + 2);
  EXPECT_EQ(loader->SearchPaths()[before], lower);
  EXPECT_EQ(loader->SearchPaths()[before + 1], upper);
}

TEST(ErrnoServiceTest, OneInstanceThatOutlivesItsCallers) {
  _QemErrnoService* first = GetErrnoService();
  _QemErrnoService* second = GetErrnoService();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->TypeCode(), static_cast<uint32_t>(kQemTypeErrnoService));
  first->SetError(13);
  first->Release();
  second->Release();
  _QemErrnoService* again = GetErrnoService();
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->LastError(), 13);
  again->Release();
}

}  // namespace
