#include "store/session_store.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

class NoDurations final : public DurationProbe {
public:
  std::optional<double> duration(const fs::path&) override { return std::nullopt; }
};

TEST(SessionStoreSmoke, SavedSessionLoadsBack) {
  fs::path folder = fs::temp_directory_path() / ("vidorel-store-smoke-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "takes");
  Logger logger;
  NoDurations probe;
  SessionStore store(logger, probe);
  Session session(folder);
  ASSERT_FALSE(store.save(session));
  Expected<Session, ManifestError> loaded = store.load(folder);
  ASSERT_TRUE(loaded) << loaded.error().description();
  EXPECT_EQ(*loaded, session);
  fs::remove_all(folder);
}

} // namespace
} // namespace vidorel
