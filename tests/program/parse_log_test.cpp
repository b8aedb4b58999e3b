#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace service_program;

class ParseLog : public ServiceProgram {};

// A request cut short after its PIN: the service refuses it by closing the
// connection, logs the failure, and the PIN reaches the log in no form.
TEST_F(ParseLog, ARequestThatFailsToParseLeavesItsPinOutOfTheLog) {
    enableLog();
    start();
    ASSERT_TRUE(ready());

    const std::string broken = R"({"FunctionName":"VerifyPIN","PIN":"739514","x":)";
    EXPECT_EQ(post(kPorts[0], false, broken), std::nullopt);
    EXPECT_EQ(post(kPorts[1], true, broken), std::nullopt);
    EXPECT_EQ(echo(), "0"); // the service still serves

    const std::string text = log();
    EXPECT_NE(text.find("jsmn parse error"), std::string::npos) << "the failure went unlogged";
    EXPECT_NE(text.find("Error json: length " + std::to_string(broken.size()) + "\n"),
              std::string::npos);
    EXPECT_EQ(text.find("739514"), std::string::npos);
    EXPECT_EQ(text.find("VerifyPIN"), std::string::npos);
    EXPECT_EQ(text.find(encodeParameter(broken)), std::string::npos);
}

} // namespace
