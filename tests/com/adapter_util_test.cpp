#include "adapter/AdapterUtil.h"

#include "common/ResultCode.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <vector>

using namespace std::string_literals;

namespace {

// ---- UTF-8 and BSTR ----------------------------------------------------

TEST(AdapterText, Utf8AndBstrRoundTrip) {
    struct Case {
        std::string utf8;
        std::uint32_t units; // UTF-16 code units
    };
    const Case cases[] = {
        {"reader", 6},
        {"\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F", 3}, // three CJK characters
        {"a\0b"s, 3},
        {"\xF0\x9F\x92\xB3", 2}, // outside the basic plane: a surrogate pair
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        const BstrString text = utf8ToBstr(c.utf8);
        ASSERT_NE(text.get(), nullptr);
        EXPECT_EQ(text.length(), c.units);
        EXPECT_EQ(bstrToUtf8(text), c.utf8);
    }
    EXPECT_EQ(utf8ToBstr(std::nullopt).get(), nullptr);
    // An empty text is an empty string, which reads back as no text.
    const BstrString empty = utf8ToBstr("");
    EXPECT_NE(empty.get(), nullptr);
    EXPECT_EQ(bstrToUtf8(empty), std::nullopt);
    EXPECT_EQ(bstrToUtf8(BSTR{nullptr}), std::nullopt);
}

// ---- Map getters -------------------------------------------------------

class MapGetters : public ::testing::Test {
protected:
    void TearDown() override {
        setJsonMapKeyCheck(false);
        setJsonMapKeyCheckError(0);
    }
    JsonMapPtr map = parseJsonMap(R"({"yes": "true", "no": "FALSE", "Big": "16777216",
        "hex": "0x10", "padded": " \t 42abc", "neg": "-3", "plus": "+7", "word": "abc",
        "empty": "", "max": "2147483647", "over": "2147483648", "huge": "99999999999999999999",
        "min": "-2147483648", "under": "-2147483649", "PIN": "MTIzNA==",
        "PIN_CorvantixBase64Flag": "true", "idx": "Mg==", "idx_CorvantixBase64Flag": "TRUE",
        "reader": "讀卡機"})");
};

TEST_F(MapGetters, IntegersReadAsAtolWouldWithinThirtyTwoBits) {
    ASSERT_NE(map, nullptr);
    struct Case {
        const char* key;
        std::int32_t value;
    };
    const Case cases[] = {
        {"yes", 1},           {"no", 0},
        {"big", 16777216}, // another letter case finds the key
        {"hex", 0},           {"padded", 42},
        {"neg", -3},          {"plus", 7},
        {"word", 0},          {"empty", 0},
        {"max", INT32_MAX},   {"over", INT32_MAX},
        {"huge", INT32_MAX},  {"min", INT32_MIN},
        {"under", INT32_MIN}, {"idx", 2}, // decoded by its flag first
        {"missing", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(getJsonMapInt(map.get(), c.key), c.value);
    }
    EXPECT_EQ(getJsonMapInt(nullptr, "yes"), 0);
    EXPECT_EQ(getJsonMapInt(map.get(), nullptr), 0);
}

TEST_F(MapGetters, StringsAreDecodedAndConverted) {
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(bstrToUtf8(getJsonMapBstr(map.get(), "pin")), "1234");
    const BstrString reader = getJsonMapBstr(map.get(), "reader");
    EXPECT_EQ(reader.view(), u"\u8b80\u5361\u6a5f");
    EXPECT_EQ(getJsonMapBstr(map.get(), "missing").get(), nullptr);
    EXPECT_EQ(getJsonMapBstr(nullptr, "reader").get(), nullptr);
    EXPECT_EQ(getJsonMapBstr(map.get(), nullptr).get(), nullptr);
}

TEST_F(MapGetters, MissingKeySetsTheErrorOnlyInKeyCheckMode) {
    ASSERT_NE(map, nullptr);
    struct Case {
        bool mode;
        const char* key;
        int error;
    };
    const Case cases[] = {
        {false, "missing", 0},
        {true, "yes", 0},
        {true, "missing", kResultKeyMissing},
        {true, "CorvantixFunctionIndex", 0}, // the system's own keys are optional
        {true, "topuiMode", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + (c.mode ? " checked" : ""));
        for (const bool asText : {false, true}) {
            setJsonMapKeyCheck(c.mode);
            setJsonMapKeyCheckError(0);
            if (asText) {
                getJsonMapBstr(map.get(), c.key);
            } else {
                getJsonMapInt(map.get(), c.key);
            }
            EXPECT_EQ(jsonMapKeyCheckError(), c.error) << (asText ? "text" : "integer");
        }
    }
}

// ---- VARIANT answers ---------------------------------------------------

// A VT_ARRAY | VT_VARIANT list from its elements (each consumed).
Variant variantList(std::vector<Variant> elements, std::int32_t lower = 0) {
    SAFEARRAY* array =
        SafeArrayCreateVector(VT_VARIANT, lower, static_cast<std::uint32_t>(elements.size()));
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const auto index = static_cast<std::int32_t>(lower + static_cast<std::int64_t>(i));
        EXPECT_EQ(SafeArrayPutElement(array, &index, elements[i].get()), S_OK);
    }
    Variant list;
    list.get()->vt = VT_ARRAY | VT_VARIANT;
    list.get()->parray = array;
    return list;
}

Variant text(std::u16string_view value) {
    Variant v;
    v.get()->vt = VT_BSTR;
    v.get()->bstrVal = BstrString::copyOf(value).copyOut();
    return v;
}

Variant number(VARTYPE type, std::int32_t value) {
    Variant v;
    v.get()->vt = type;
    v.get()->lVal = value;
    return v;
}

Variant boolean(bool value) {
    Variant v;
    v.get()->vt = VT_BOOL;
    v.get()->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

template <class... V>
std::vector<Variant> items(V... values) {
    std::vector<Variant> list;
    (list.push_back(std::move(values)), ...);
    return list;
}

// An array of strings held in a VARIANT that says what it holds, or that
// claims to hold VARIANTs.
Variant stringArray(VARTYPE claimed) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    for (std::int32_t i = 0; i < 2; ++i) {
        const BstrString name = BstrString::copyOf(i == 0 ? u"A" : u"B");
        SafeArrayPutElement(array, &i, name.get());
    }
    Variant v;
    v.get()->vt = VT_ARRAY | claimed;
    v.get()->parray = array;
    return v;
}

TEST(VariantText, ReaderListsAndScalars) {
    struct Case {
        const char* name;
        std::function<Variant()> make;
        std::optional<std::string> utf8;
    };
    const Case cases[] = {
        {"two names", [] { return variantList(items(text(u"A"), text(u"B"))); }, "A;B;"},
        {"two numbers", [] { return variantList(items(number(VT_I4, 1), number(VT_INT, 2))); },
         "1;2;"},
        {"negative number", [] { return variantList(items(number(VT_I4, -40))); }, "-40;"},
        {"CJK name", [] { return variantList(items(text(u"\u8b80\u5361\u6a5f"))); },
         "\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F;"},
        {"other elements are empty pieces",
         [] { return variantList(items(boolean(true), Variant(), text(u"C"))); }, ";;C;"},
        {"a nested array is no string", [] { return variantList(items(stringArray(VT_BSTR))); },
         ";"},
        {"lower bound below zero", [] { return variantList(items(text(u"X"), text(u"Y")), -1); },
         "X;Y;"},
        {"empty list", [] { return variantList({}); }, std::nullopt},
        {"empty list at the lowest bound", [] { return variantList({}, INT32_MIN); }, std::nullopt},
        {"list at the lowest bound", [] { return variantList(items(text(u"L")), INT32_MIN); },
         "L;"},
        {"list up to the highest bound",
         [] { return variantList(items(text(u"Y"), text(u"Z")), INT32_MAX - 1); }, "Y;Z;"},
        {"true", [] { return boolean(true); }, "1"},
        {"false", [] { return boolean(false); }, "0"},
        {"a plain string", [] { return text(u"A"); }, std::nullopt},
        {"nothing", [] { return Variant(); }, std::nullopt},
        {"null", [] { return number(VT_NULL, 0); }, std::nullopt},
        {"a plain number", [] { return number(VT_I4, 5); }, std::nullopt},
        {"array of strings", [] { return stringArray(VT_BSTR); }, std::nullopt},
        {"strings claimed as VARIANTs", [] { return stringArray(VT_VARIANT); }, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Variant value = c.make();
        const BstrString rendered = variantToText(*value);
        EXPECT_EQ(bstrToUtf8(rendered), c.utf8);
        // The owner passes the VARIANT on and is left with nothing to free.
        EXPECT_EQ(variantToUtf8(std::move(value)), c.utf8);
        EXPECT_EQ(value.get()->vt, VT_EMPTY);
    }
}

// VARIANTs this layer cannot copy: the handlers answer 61011 for the
// ComError, where an empty text would pass for an empty answer.
TEST(VariantText, AVariantThatCannotBeCopiedIsAnError) {
    struct Case {
        const char* name;
        VARTYPE type;
        HRESULT hr;
    };
    const Case cases[] = {
        {"an interface", 9 /* VT_DISPATCH */, DISP_E_BADVARTYPE},
        {"by reference", 0x4000 | VT_I4, DISP_E_BADVARTYPE},
        {"array of doubles", VT_ARRAY | 5 /* VT_R8 */, DISP_E_BADVARTYPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Variant value;
        value.get()->vt = c.type; // its pointer null: nothing to free
        try {
            variantToText(*value);
            ADD_FAILURE() << "no error";
        } catch (const ComError& error) {
            EXPECT_EQ(error.hr(), c.hr);
        }
        EXPECT_THROW(variantToUtf8(std::move(value)), ComError);
    }
}

// A reader list in a descriptor its maker keeps on the stack: read without
// touching memory before it, and never freed by the clearing of the VARIANT
// that held it.
TEST(VariantText, ListInADescriptorMadeElsewhere) {
    VARIANT names[2];
    for (VARIANT& name : names) {
        VariantInit(&name);
        name.vt = VT_BSTR;
    }
    names[0].bstrVal = SysAllocString(u"A");
    names[1].bstrVal = SysAllocString(u"B");
    SAFEARRAY list{1,       FADF_AUTO | FADF_VARIANT | FADF_HAVEVARTYPE, sizeof(VARIANT), 0, names,
                   {{2, 0}}};
    Variant value;
    value.get()->vt = VT_ARRAY | VT_VARIANT;
    value.get()->parray = &list;
    EXPECT_EQ(bstrToUtf8(variantToText(*value)), "A;B;");
    EXPECT_EQ(variantToUtf8(std::move(value)), "A;B;");
    EXPECT_EQ(list.pvData, names);
    EXPECT_EQ(std::u16string(names[1].bstrVal), u"B"); // still the maker's
    for (VARIANT& name : names) {
        VariantClear(&name);
    }
}

TEST(VariantText, ArrayOfOtherElementsIsReportedPerElement) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(variantToUtf8(stringArray(VT_BSTR)), std::nullopt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error!! value->vt & ~VT_ARRAY = 8\nError!! value->vt & ~VT_ARRAY = 8\n");
}

} // namespace
