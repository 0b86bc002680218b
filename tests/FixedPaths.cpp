// The filter works in fixed paths under /tmp. The whole test run moves
// whatever is found there aside and puts it back at the end, so running the
// tests leaves those paths as they were.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class FixedPaths : public testing::Environment {
   public:
    void SetUp() override {
        had_auth_dir_ = access("/tmp/auth", F_OK) == 0;
        for (Saved& s : saved_) {
            s.aside = s.path + ".moved-aside-by-tests";
            s.moved = rename(s.path.c_str(), s.aside.c_str()) == 0;
        }
    }
    void TearDown() override {
        for (Saved& s : saved_) {
            std::string command = "rm -rf '" + s.path + "'";
            if (system(command.c_str()) != 0) continue;
            if (s.moved) rename(s.aside.c_str(), s.path.c_str());
        }
        // The credentials tests make /tmp/auth; only an empty one is removed.
        if (!had_auth_dir_) rmdir("/tmp/auth");
    }

   private:
    bool had_auth_dir_ = false;
    struct Saved {
        std::string path, aside;
        bool moved;
    };
    Saved saved_[2] = {{"/tmp/tarvelin", "", false}, {"/tmp/auth/auth_config", "", false}};
};

testing::Environment* const kFixedPaths = testing::AddGlobalTestEnvironment(new FixedPaths);

}  // namespace
