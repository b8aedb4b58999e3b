// "-KeyToByte": a key file as a C byte array appended to Cert.h, every byte
// unsigned, the bound of what it reads, and the files it cannot read or
// write.

#include "tests/worker/WorkerProgram.h"
#include "worker/KeyToByte.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using namespace worker_test;
using message_test::contains;

TEST(KeyToByteLine, NamesTheArrayByTheKeyAndPrintsBytesUnsigned) {
    EXPECT_EQ(keyToByteLine("keys/root_RSA.pem", std::string("-\x80\xff\n", 4)),
              "byte RSAKey[] = { 0x2D, 0x80, 0xFF, 0xA};");
    EXPECT_EQ(keyToByteLine("keys/root.pem", "A"), "byte ECKey[] = { 0x41};");
    EXPECT_EQ(keyToByteLine("root_RSA", "A"), "byte ECKey[] = { 0x41};"); // "_RSA." only
}

TEST(KeyToByteLine, EveryByteReadsBackFromItsNumber) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string line = keyToByteLine("k.pem", all);
    const std::string head = "byte ECKey[] = {";
    ASSERT_TRUE(line.starts_with(head));
    ASSERT_TRUE(line.ends_with("};"));
    std::string numbers = line.substr(head.size(), line.size() - head.size() - 2);
    int expected = 0;
    for (char* at = numbers.data(); *at != '\0'; ++expected) {
        ASSERT_EQ(std::string(at, 3), expected == 0 ? " 0x" : ", 0");
        at += expected == 0 ? 1 : 2;
        char* end = nullptr;
        EXPECT_EQ(std::strtol(at, &end, 16), expected);
        EXPECT_LE(end - at, 4); // "0x" and at most two digits
        at = end;
    }
    EXPECT_EQ(expected, 256);
}

class WorkerKeyToByte : public ::testing::Test {
public:
    WorkerKeyToByte() { fs::create_directories(folder); }
    std::string header() const { return testing_support::Sandbox::read(folder / "Cert.h"); }

    WorkerSandbox sandbox;
    const fs::path folder = sandbox.box.root() / "work";
};

TEST_F(WorkerKeyToByte, AFileOfTheBoundIsRead) {
    const auto key = sandbox.box.write("keys/big.pem", std::string(kKeyFileMax, 'A'));
    EXPECT_EQ(sandbox.run({"-KeyToByte", key.string()}, folder).status, 0);
    EXPECT_EQ(header().size(), std::string("byte ECKey[] = {};").size() + kKeyFileMax * 6 - 1);
}

TEST_F(WorkerKeyToByte, AppendsTheArrayToCertHeaderInTheCurrentFolder) {
    const auto rsa = sandbox.box.write("keys/root_RSA.pem", std::string("-\x80\xff\r\n", 5));
    const auto ec = sandbox.box.write("keys/root ec.pem", "AB");
    EXPECT_EQ(sandbox.run({"-KeyToByte", rsa.string()}, folder).status, 0);
    EXPECT_EQ(header(), "byte RSAKey[] = { 0x2D, 0x80, 0xFF, 0xA};");
    // A second run goes on the same line; a name with a blank is one name.
    EXPECT_EQ(sandbox.run({"-KeyToByte", ec.string()}, folder).status, 0);
    EXPECT_EQ(header(), "byte RSAKey[] = { 0x2D, 0x80, 0xFF, 0xA};byte ECKey[] = { 0x41, 0x42};");
    EXPECT_TRUE(contains(sandbox.allLines(), "[Normal] FileName: " + ec.string()));
}

struct KeyFailure {
    const char* name;
    std::function<std::string(WorkerKeyToByte&)> prepare; // the key file's path
    const char* line;
};

class WorkerKeyToByteFailure : public WorkerKeyToByte,
                               public ::testing::WithParamInterface<KeyFailure> {};

void PrintTo(const KeyFailure& row, std::ostream* out) {
    *out << row.name;
}

TEST_P(WorkerKeyToByteFailure, EndsWithAFailureAndWritesNothing) {
    const std::string key = GetParam().prepare(*this);
    EXPECT_EQ(sandbox.run({"-KeyToByte", key}, folder).status, 1);
    EXPECT_TRUE(contains(sandbox.allLines(), GetParam().line)) << sandbox.logText();
    EXPECT_FALSE(fs::is_regular_file(folder / "Cert.h"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WorkerKeyToByteFailure,
    ::testing::Values(
        KeyFailure{"MissingKeyFile",
                   [](WorkerKeyToByte& t) { return (t.sandbox.box.root() / "none.pem").string(); },
                   "[Error] KeyToByte: Key file cannot be read"},
        KeyFailure{"EmptyKeyFile",
                   [](WorkerKeyToByte& t) {
                       return t.sandbox.box.write("keys/empty_RSA.pem", "").string();
                   },
                   "[Error] KeyToByte: Key file is empty"},
        // Read no further than a key file could reach.
        KeyFailure{"EndlessFile", [](WorkerKeyToByte&) { return std::string("/dev/zero"); },
                   "[Error] KeyToByte: Key file is too large"},
        KeyFailure{"OneByteOverTheBound",
                   [](WorkerKeyToByte& t) {
                       return t.sandbox.box.write("keys/big.pem", std::string(kKeyFileMax + 1, 'A'))
                           .string();
                   },
                   "[Error] KeyToByte: Key file is too large"},
        KeyFailure{"HeaderCannotBeWritten",
                   [](WorkerKeyToByte& t) {
                       fs::create_directories(t.folder / "Cert.h"); // a folder in its place
                       return t.sandbox.box.write("keys/k.pem", "A").string();
                   },
                   "[Error] KeyToByte: Cert.h cannot be written"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
