// The fake control itself: what later tests rely on when they script it and
// read its calls.

#include "control/VondelTaveloInterface.h"
#include "tests/adapter/FakeTavelo.h"
#include "tests/support/Sandbox.h"

#include "platform/text/TextCodec.h"
#include "tests/support/ComText.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using fake_tavelo::Call;

using testing_support::bstr;
using testing_support::utf8;

class FakeTaveloControl : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override {
        control.reset();
        CoUninitialize();
    }
    HRESULT create() {
        return CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IVondelTaveloATL,
                                control.receive());
    }

    testing_support::Sandbox sandbox;
    ComPtr<IVondelTaveloATL> control;
};

TEST_F(FakeTaveloControl, RecordsCallsAndAnswersFromTheScript) {
    ASSERT_EQ(fake_tavelo::registerControl(), S_OK);
    ASSERT_EQ(create(), S_OK);
    fake_tavelo::setScript("answer VerifyPIN -5070\n"
                           "answer GetSN first\n"
                           "answer GetSN 01 23\t\xE4\xB8\xAD\n"
                           "answer GetReaderList A;B 2\n"
                           "fail ChangePIN 0x80004005\n");

    BSTR reader = bstr("R\t1\\x\n");
    BSTR pin = bstr("123456");
    std::int32_t number = 0;
    EXPECT_EQ(control->VerifyPIN(reader, nullptr, pin, 16777216, -3, &number), S_OK);
    EXPECT_EQ(number, -5070);
    const std::vector<BSTR> texts = fake_tavelo::lastTextArguments();
    EXPECT_EQ(texts, (std::vector<BSTR>{reader, nullptr, pin}));

    BSTR text = nullptr;
    EXPECT_EQ(control->GetSN(&text), S_OK);
    EXPECT_EQ(utf8(text), "01 23\t\xE4\xB8\xAD"); // the last line wins
    SysFreeString(text);

    Variant list;
    EXPECT_EQ(control->GetReaderList(list.receive()), S_OK);
    ASSERT_EQ(list.get()->vt, VT_ARRAY | VT_VARIANT);
    std::int32_t upper = -1;
    SafeArrayGetUBound(list.get()->parray, 1, &upper);
    EXPECT_EQ(upper, 1);

    EXPECT_EQ(control->ChangePIN(pin, pin, &number), makeHresult(0x80004005u));
    // Unscripted: zero and the empty text.
    number = 7;
    EXPECT_EQ(control->GetCardStatus(&number), S_OK);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(control->GetTSN(&text), S_OK);
    EXPECT_EQ(text, nullptr);

    control.reset();
    SysFreeString(reader);
    SysFreeString(pin);

    const std::vector<Call> got = fake_tavelo::calls();
    ASSERT_FALSE(got.empty());
    const int id = got.front().object;
    EXPECT_GT(id, 0);
    const std::vector<Call> expected = {
        {id, "Create", {}},
        {id, "VerifyPIN", {"R\t1\\x\n", "(null)", "123456", "16777216", "-3"}},
        {id, "GetSN", {}},
        {id, "GetReaderList", {}},
        {id, "ChangePIN", {"123456", "123456"}},
        {id, "GetCardStatus", {}},
        {id, "GetTSN", {}},
        {id, "Destroy", {}},
    };
    EXPECT_EQ(got, expected);
    fake_tavelo::clearCalls();
    EXPECT_TRUE(fake_tavelo::calls().empty());
}

TEST_F(FakeTaveloControl, HelperProgramRegistersAndRemovesTheClass) {
    const std::string helper = FAKE_TAVELO_REGISTER;
    EXPECT_EQ(create(), REGDB_E_CLASSNOTREG);
    ASSERT_EQ(std::system(helper.c_str()), 0);
    EXPECT_EQ(create(), S_OK);
    control.reset();
    ASSERT_EQ(std::system((helper + " --unregister").c_str()), 0);
    EXPECT_EQ(create(), REGDB_E_CLASSNOTREG);

    // Refuses to write outside a sandbox.
    unsetenv("CORVANTIX_ROOT");
    EXPECT_NE(std::system(helper.c_str()), 0);
    setenv("CORVANTIX_ROOT", sandbox.root().c_str(), 1);
}

} // namespace
