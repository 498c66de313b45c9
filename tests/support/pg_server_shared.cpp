// The test program's one server: started when a test first asks for it, stopped by a GoogleTest
// environment once every test has run, whatever their outcome.
#include "pg_server.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

PgServer sharedServer;
bool bSharedTried = false;
std::string sSharedError;

// Stops the shared server once every test has run, whatever their outcome.
class SharedServerEnvironment : public ::testing::Environment {
public:
    void TearDown() override { PgServerStop(&sharedServer); }
};

[[maybe_unused]] ::testing::Environment* const sharedEnvironment =
    ::testing::AddGlobalTestEnvironment(std::make_unique<SharedServerEnvironment>().release());

} // namespace

PgServer* SharedPgServer(std::string* sError) {
    if (!bSharedTried) {
        bSharedTried = true;
        if (!PgServerStart(&sharedServer, false, &sSharedError)) sharedServer = PgServer();
    }
    if (sharedServer.pid > 0) return &sharedServer;
    *sError = sSharedError;
    return nullptr;
}
