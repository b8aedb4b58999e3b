// The control's class with a private pcscd and the card emulator: the
// reader list, connection, card status and disconnection, and that an object
// that goes away gives its card back.

#include "tests/card/CardTestData.h"
#include "tests/control/com/TaveloClass.h"
#include "tests/support/CardRig.h"

#include <vector>

namespace {

using namespace tavelo_class;
using testing_support::utf8;

class TaveloCard : public TaveloClass {
protected:
    explicit TaveloCard(std::vector<testing_support::VirtualReaderEntry> entries = {{}})
        : rig(std::move(entries)) {}
    void SetUp() override {
        // The rig enters the test's own namespaces before any thread starts.
        ASSERT_TRUE(rig.start()) << rig.why();
        TaveloClass::SetUp();
    }
    void TearDown() override {
        TaveloClass::TearDown();
        if (HasFailure()) {
            std::fprintf(stderr, "pcscd wrote:\n%s\n", rig.pcscdLog().c_str());
        }
    }

    // The names GetReaderList gives, or nullopt when its VARIANT is no list.
    std::optional<std::vector<std::string>> readerList(std::int32_t& code) {
        Variant list;
        EXPECT_EQ(control->GetReaderList(list.get()), S_OK);
        code = errorCode();
        if (list.get()->vt != (VT_ARRAY | VT_VARIANT)) {
            return std::nullopt;
        }
        SAFEARRAY* array = list.get()->parray;
        std::int32_t lower = -1;
        EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
        EXPECT_EQ(lower, 0);
        std::vector<std::string> names;
        for (std::int32_t i = 0; i < static_cast<std::int32_t>(array->rgsabound[0].cElements);
             ++i) {
            Variant element;
            EXPECT_EQ(SafeArrayGetElement(array, &i, element.get()), S_OK);
            EXPECT_EQ(element.get()->vt, VT_BSTR);
            names.push_back(utf8(element.get()->bstrVal));
        }
        return names;
    }

    std::int32_t connect(IVondelTaveloATL& object, std::string_view reader) {
        std::int32_t rc = 0;
        EXPECT_EQ(object.ConnectCard(text(reader).get(), &rc), S_OK);
        return rc;
    }
    std::int32_t cardStatus() {
        std::int32_t status = -1;
        EXPECT_EQ(control->GetCardStatus(&status), S_OK);
        return status;
    }

    testing_support::CardRig rig;
};

TEST_F(TaveloCard, ReaderListIsWhatPcscLists) {
    std::int32_t code = -1;
    const auto names = readerList(code);
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, rig.readers());
    EXPECT_EQ(code, 0);

    // Without pcscd the list fails and the caller's VARIANT stays as it was.
    rig.stopPcscd();
    Variant kept;
    kept.get()->vt = VT_I4;
    kept.get()->lVal = 4711;
    ASSERT_EQ(control->GetReaderList(kept.get()), S_OK);
    EXPECT_EQ(kept.get()->vt, VT_I4);
    EXPECT_EQ(kept.get()->lVal, 4711);
    code = errorCode();
    EXPECT_TRUE(code == 10 || code == 11) << code;
}

class TaveloNoReaders : public TaveloCard {
protected:
    TaveloNoReaders() : TaveloCard({}) {}
};

TEST_F(TaveloNoReaders, ReaderListIsEmptyAndSucceeds) {
    std::int32_t rc = 0;
    ASSERT_EQ(control->UserBrowser(nullptr, &rc), S_OK); // the code is 5005 before
    std::int32_t code = -1;
    const auto names = readerList(code);
    ASSERT_TRUE(names) << "an empty list, not none";
    EXPECT_TRUE(names->empty());
    EXPECT_EQ(code, 0);
}

TEST_F(TaveloCard, ConnectStatusAndDisconnect) {
    ASSERT_NE(rig.insertCard(card_emulator::kDefaultPort, card_test::testProfile()), nullptr)
        << rig.why();
    const std::string withCard = rig.readers()[0];
    const std::string empty = rig.readers()[1];
    const struct {
        const char* name;
        std::string reader;
        std::int32_t expected;
        std::int32_t status; // GetCardStatus afterwards
    } rows[] = {
        {"a reader without a card", empty, 3005, 13},
        {"an empty name", "", 5005, 13},
        {"a name no reader has", "\xed\x95\x9c", 3005, 13},
        {"the card", withCard, 0, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(connect(*control.get(), row.reader), row.expected) << row.name;
        EXPECT_EQ(errorCode(), row.expected) << row.name;
        EXPECT_EQ(cardStatus(), row.status) << row.name;
    }
    std::int32_t rc = -1;
    ASSERT_EQ(control->DisconnectCard(&rc), S_OK);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(cardStatus(), 13);
    rc = -1;
    ASSERT_EQ(control->DisconnectCard(&rc), S_OK);
    EXPECT_EQ(rc, 0) << "without a card too";
}

// pcsc-lite names readers in UTF-8, and so does the reader configuration.
class NonAsciiReader : public TaveloCard {
protected:
    NonAsciiReader()
        : TaveloCard({{}, {"Lecteur \xc3\xa0 puce", card_emulator::kDefaultPort + 2}}) {}
};

TEST_F(NonAsciiReader, IsListedAndConnectsLikeAnyOther) {
    ASSERT_EQ(rig.readers()[2], "Lecteur \xc3\xa0 puce 00 00");
    std::int32_t code = -1;
    const auto names = readerList(code);
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, rig.readers());
    EXPECT_EQ(code, 0);

    ASSERT_NE(rig.insertCard(card_emulator::kDefaultPort + 2, card_test::testProfile()), nullptr)
        << rig.why();
    EXPECT_EQ(connect(*control.get(), rig.readers()[3]), 3005) << "no card in its neighbour";
    EXPECT_EQ(connect(*control.get(), rig.readers()[2]), 0);
    EXPECT_EQ(cardStatus(), 0);
    BstrString serial;
    ASSERT_EQ(control->GetSN(serial.receive()), S_OK);
    EXPECT_EQ(errorCode(), 0);
    EXPECT_EQ(utf8(serial.get()), card_emulator::toHex(card_test::kSerial));
}

TEST_F(TaveloCard, AnObjectThatGoesGivesItsCardBack) {
    ASSERT_NE(rig.insertCard(card_emulator::kDefaultPort, card_test::testProfile()), nullptr)
        << rig.why();
    const std::string reader = rig.readers()[0];
    ComPtr<IVondelTaveloATL> other;
    ASSERT_EQ(CoCreateInstance(CLSID_VondelTaveloATL, nullptr, CLSCTX_ALL, IID_IVondelTaveloATL,
                               reinterpret_cast<void**>(other.receive())),
              S_OK);

    ASSERT_EQ(connect(*control.get(), reader), 0);
    EXPECT_EQ(connect(*other.get(), reader), 3005) << "the first object holds the card exclusively";
    control.reset(); // without DisconnectCard
    EXPECT_EQ(connect(*other.get(), reader), 0) << "the card was not given back";
}

} // namespace
