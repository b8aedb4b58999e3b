#include "platform/com/OleAuto.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// ---- GUIDs -------------------------------------------------------------

TEST(Guid, TextFormRoundTrips) {
    constexpr GUID guid = guidLiteral("{71e88afd-6042-2361-5903-ad4082fc0faf}");
    static_assert(guid.Data1 == 0x71E88AFD && guid.Data2 == 0x6042 && guid.Data3 == 0x2361);
    static_assert(guid.Data4[0] == 0x59 && guid.Data4[1] == 0x03 && guid.Data4[7] == 0xAF);
    EXPECT_EQ(guidToString(guid), "{71E88AFD-6042-2361-5903-AD4082FC0FAF}");
    EXPECT_EQ(parseGuid(guidToString(guid)), guid);
    EXPECT_EQ(guidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
}

TEST(Guid, MalformedTextsAreRefused) {
    for (const char* text : {
             "71E88AFD-6042-2361-5903-AD4082FC0FAF",    // no braces
             "{71E88AFD-6042-2361-5903-AD4082FC0FA}",   // one digit short
             "{71E88AFD-6042-2361-5903-AD4082FC0FAFF}", // one digit long
             "{71E88AFD+6042-2361-5903-AD4082FC0FAF}",  // wrong separator
             "{71E88AFG-6042-2361-5903-AD4082FC0FAF}",  // not hex
             "{71E88AFD-6042-2361-5903AAD4082FC0FAF-}", // separator moved
             "",
         }) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parseGuid(text), std::nullopt);
    }
}

// ---- BSTR --------------------------------------------------------------

TEST(Bstr, LengthsPrefixAndTerminator) {
    const std::u16string texts[] = {u"reader"s, u"\u8b80\u5361\u6a5f"s, u"a\0b"s, u""s,
                                    u"\U0001F4B3"s};
    for (const auto& text : texts) {
        SCOPED_TRACE(text.size());
        const BSTR b = SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size()));
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(SysStringLen(b), text.size());
        EXPECT_EQ(SysStringByteLen(b), 2 * text.size());
        std::uint32_t prefix = 0;
        std::memcpy(&prefix, reinterpret_cast<const char*>(b) - 4, 4);
        EXPECT_EQ(prefix, 2 * text.size());
        EXPECT_EQ(b[text.size()], u'\0');
        EXPECT_EQ(std::u16string(b, SysStringLen(b)), text);
        SysFreeString(b);
    }
}

TEST(Bstr, AllocationEdges) {
    // SysAllocString stops at the first zero; the length form keeps it.
    const std::u16string withZero = u"ab\0cd"s;
    const BSTR cut = SysAllocString(withZero.c_str());
    EXPECT_EQ(SysStringLen(cut), 2u);
    SysFreeString(cut);

    const BSTR zeros = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(zeros, nullptr);
    EXPECT_EQ(std::u16string(zeros, 3), u"\0\0\0"s);
    SysFreeString(zeros);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    EXPECT_EQ(SysAllocStringLen(u"x", 0x80000000u), nullptr); // byte length beyond 32 bits
    SysFreeString(nullptr);
}

TEST(Bstr, SharedOwnerFreesOnce) {
    BstrString outer;
    {
        const BstrString first = BstrString::copyOf(u"card");
        outer = first;
        EXPECT_EQ(outer.get(), first.get());
    }
    EXPECT_EQ(outer.view(), u"card");
    const BSTR out = outer.copyOut();
    EXPECT_NE(out, outer.get());
    SysFreeString(out);

    BstrString received;
    *received.receive() = SysAllocString(u"answer");
    EXPECT_EQ(received.view(), u"answer");
    EXPECT_TRUE(BstrString().empty());
    EXPECT_EQ(BstrString().copyOut(), nullptr);
}

// ---- SAFEARRAY ---------------------------------------------------------

std::int32_t lowerBound(SAFEARRAY* array) {
    std::int32_t bound = 0;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &bound), S_OK);
    return bound;
}

std::int32_t upperBound(SAFEARRAY* array) {
    std::int32_t bound = 0;
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &bound), S_OK);
    return bound;
}

TEST(SafeArray, VectorBounds) {
    struct Case {
        std::int32_t lower;
        std::uint32_t count;
        std::int32_t upper;
    };
    for (const Case c :
         {Case{0, 2, 1}, Case{-2, 3, 0}, Case{5, 0, 4}, Case{INT32_MIN, 1, INT32_MIN},
          Case{INT32_MAX, 1, INT32_MAX}, Case{INT32_MAX - 1, 2, INT32_MAX}}) {
        SCOPED_TRACE(c.lower);
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, c.lower, c.count);
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(SafeArrayGetDim(array), 1u);
        EXPECT_EQ(lowerBound(array), c.lower);
        EXPECT_EQ(upperBound(array), c.upper);
        std::int32_t bound = 0;
        EXPECT_EQ(SafeArrayGetLBound(array, 2, &bound), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    }
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0x7FFFFFFFu), nullptr);
    // The last element would have no 32-bit index.
    EXPECT_EQ(SafeArrayCreateVector(VT_I4, INT32_MAX, 2), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_BOOL, 1, 0x80000000u), nullptr);
}

TEST(SafeArray, EmptyArrayAtTheLowestBoundHasNoElements) {
    for (const VARTYPE type : {VT_VARIANT, VT_BSTR, VT_I4}) {
        SCOPED_TRACE(type);
        SAFEARRAY* array = SafeArrayCreateVector(type, INT32_MIN, 0);
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(lowerBound(array), INT32_MIN);
        EXPECT_EQ(array->rgsabound[0].cElements, 0u);
        // Its upper bound, INT32_MIN - 1, is no 32-bit number: never INT32_MAX.
        std::int32_t upper = 0;
        EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), DISP_E_BADINDEX);
        EXPECT_EQ(upper, 0);
        for (const std::int32_t index : {INT32_MIN, -1, 0, INT32_MAX}) {
            SCOPED_TRACE(index);
            Variant element;
            EXPECT_EQ(SafeArrayGetElement(array, &index, element.receive()), DISP_E_BADINDEX);
            EXPECT_EQ(SafeArrayPutElement(array, &index, element.get()), DISP_E_BADINDEX);
        }
        SAFEARRAY* copy = nullptr;
        ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
        EXPECT_EQ(lowerBound(copy), INT32_MIN);
        EXPECT_EQ(copy->rgsabound[0].cElements, 0u);
        EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
        EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    }
}

// ---- SAFEARRAYs made elsewhere ----------------------------------------
//
// Descriptors this layer did not make: it reads them from their own fields,
// never from memory before them (under AddressSanitizer that would be
// reported), and frees neither them, their data nor their elements.

// Two VARIANTs, a string and a number, that the test owns and clears.
struct TwoItems {
    VARIANT items[2];
    TwoItems() {
        VariantInit(&items[0]);
        items[0].vt = VT_BSTR;
        items[0].bstrVal = SysAllocString(u"A");
        VariantInit(&items[1]);
        items[1].vt = VT_I4;
        items[1].lVal = 7;
    }
    ~TwoItems() {
        VariantClear(&items[0]);
        VariantClear(&items[1]);
    }
    TwoItems(const TwoItems&) = delete;
    TwoItems& operator=(const TwoItems&) = delete;
};

constexpr std::uint16_t kVariantFlags = FADF_VARIANT | FADF_HAVEVARTYPE;

SAFEARRAY listOf(TwoItems& two, std::uint16_t where) {
    return SAFEARRAY{
        1,       static_cast<std::uint16_t>(kVariantFlags | where), sizeof(VARIANT), 0, two.items,
        {{2, 0}}};
}

// Read, copied, destroyed and cleared in a VARIANT: the descriptor and its
// elements stay as they were.
void checkForeignList(SAFEARRAY* array, TwoItems& two) {
    SAFEARRAY before{};
    std::memcpy(&before, array, sizeof before);

    VARTYPE type = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(array, &type), S_OK);
    EXPECT_EQ(type, VT_VARIANT);
    EXPECT_EQ(lowerBound(array), 0);
    EXPECT_EQ(upperBound(array), 1);
    std::int32_t index = 0;
    Variant element;
    ASSERT_EQ(SafeArrayGetElement(array, &index, element.receive()), S_OK);
    ASSERT_EQ(element.get()->vt, VT_BSTR);
    EXPECT_NE(element.get()->bstrVal, two.items[0].bstrVal); // a copy
    EXPECT_EQ(std::u16string(element.get()->bstrVal), u"A");
    index = 1;
    ASSERT_EQ(SafeArrayGetElement(array, &index, element.receive()), S_OK);
    EXPECT_EQ(element.get()->lVal, 7);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
    ASSERT_NE(copy, array);
    EXPECT_EQ(upperBound(copy), 1);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    Variant holder;
    holder.get()->vt = VT_ARRAY | VT_VARIANT;
    holder.get()->parray = array;
    EXPECT_EQ(VariantClear(holder.get()), S_OK);
    EXPECT_EQ(holder.get()->vt, VT_EMPTY);

    EXPECT_EQ(std::memcmp(&before, array, sizeof before), 0);
    EXPECT_EQ(two.items[0].vt, VT_BSTR);
    EXPECT_EQ(std::u16string(two.items[0].bstrVal), u"A"); // not freed
    EXPECT_EQ(two.items[1].lVal, 7);
}

TEST(ForeignSafeArray, InStaticStorage) {
    static TwoItems two;
    static SAFEARRAY list = listOf(two, FADF_STATIC);
    checkForeignList(&list, two);
}

TEST(ForeignSafeArray, OnTheStack) {
    TwoItems two;
    SAFEARRAY list = listOf(two, FADF_AUTO);
    checkForeignList(&list, two);
}

TEST(ForeignSafeArray, InsideAStructureAfterAWordThatLooksLikeAType) {
    // Where an array this layer makes keeps its element type, this one has
    // VT_BSTR: read, it would make the VARIANTs strings.
    struct Holder {
        std::uint32_t words[2] = {0, VT_BSTR};
        SAFEARRAY list;
    };
    TwoItems two;
    Holder holder{{0, VT_BSTR}, listOf(two, FADF_EMBEDDED)};
    checkForeignList(&holder.list, two);
    EXPECT_EQ(holder.words[1], VT_BSTR);
}

TEST(ForeignSafeArray, AllocatedByItsMakerWithoutFlags) {
    TwoItems two;
    const auto list = std::make_unique<SAFEARRAY>(listOf(two, 0));
    checkForeignList(list.get(), two); // the maker frees it, once
}

TEST(ForeignSafeArray, StringsAndNumbersByTheirFlagsAndSize) {
    BSTR names[2] = {SysAllocString(u"x"), nullptr};
    SAFEARRAY strings{1, FADF_AUTO | FADF_BSTR, sizeof(BSTR), 0, names, {{2, -1}}};
    VARTYPE type = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(&strings, &type), S_OK);
    EXPECT_EQ(type, VT_BSTR);
    std::int32_t index = -1;
    BSTR read = nullptr;
    ASSERT_EQ(SafeArrayGetElement(&strings, &index, &read), S_OK);
    EXPECT_EQ(std::u16string(read), u"x");
    SysFreeString(read);
    EXPECT_EQ(SafeArrayDestroy(&strings), S_OK);
    EXPECT_EQ(std::u16string(names[0]), u"x"); // still the maker's
    SysFreeString(names[0]);

    std::int32_t values[3] = {4, 5, 6};
    SAFEARRAY numbers{1, FADF_AUTO, sizeof(std::int32_t), 0, values, {{3, INT32_MAX - 2}}};
    EXPECT_EQ(SafeArrayGetVartype(&numbers, &type), S_OK);
    EXPECT_EQ(type, VT_I4);
    EXPECT_EQ(upperBound(&numbers), INT32_MAX);
    index = INT32_MAX;
    std::int32_t value = 0;
    ASSERT_EQ(SafeArrayGetElement(&numbers, &index, &value), S_OK);
    EXPECT_EQ(value, 6);
    EXPECT_EQ(SafeArrayDestroy(&numbers), S_OK);
}

TEST(ForeignSafeArray, DescriptorsThatDoNotAddUpAreRefused) {
    VARIANT items[2];
    VariantInit(&items[0]);
    VariantInit(&items[1]);
    struct Case {
        const char* name;
        SAFEARRAY array;
    };
    const Case cases[] = {
        {"VARIANTs of four bytes", {1, FADF_AUTO | FADF_VARIANT, 4, 0, items, {{2, 0}}}},
        {"strings of a VARIANT's size",
         {1, FADF_AUTO | FADF_BSTR, sizeof(VARIANT), 0, items, {{2, 0}}}},
        {"strings and VARIANTs",
         {1, FADF_AUTO | FADF_BSTR | FADF_VARIANT, sizeof(VARIANT), 0, items, {{2, 0}}}},
        {"no type and eight bytes", {1, FADF_AUTO, 8, 0, items, {{2, 0}}}},
        {"two dimensions", {2, FADF_AUTO | FADF_VARIANT, sizeof(VARIANT), 0, items, {{2, 0}}}},
        {"no data", {1, FADF_AUTO | FADF_VARIANT, sizeof(VARIANT), 0, nullptr, {{2, 0}}}},
        {"beyond the last index",
         {1, FADF_AUTO | FADF_VARIANT, sizeof(VARIANT), 0, items, {{2, INT32_MAX}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SAFEARRAY array = c.array;
        std::int32_t bound = 0;
        VARTYPE type = VT_EMPTY;
        SAFEARRAY* copy = nullptr;
        const std::int32_t index = 0;
        Variant element;
        EXPECT_EQ(SafeArrayGetLBound(&array, 1, &bound), E_INVALIDARG);
        EXPECT_EQ(SafeArrayGetUBound(&array, 1, &bound), E_INVALIDARG);
        EXPECT_EQ(SafeArrayGetVartype(&array, &type), E_INVALIDARG);
        EXPECT_EQ(SafeArrayGetElement(&array, &index, element.receive()), E_INVALIDARG);
        EXPECT_EQ(SafeArrayCopy(&array, &copy), E_INVALIDARG);
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(SafeArrayDestroy(&array), S_OK); // not its to free
    }
}

TEST(SafeArray, ElementsAreCopiedInAndOut) {
    SAFEARRAY* names = SafeArrayCreateVector(VT_BSTR, 1, 2);
    ASSERT_NE(names, nullptr);
    VARTYPE type = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(names, &type), S_OK);
    EXPECT_EQ(type, VT_BSTR);
    EXPECT_NE(names->fFeatures & FADF_BSTR, 0);

    const BSTR first = SysAllocString(u"first");
    std::int32_t index = 1;
    ASSERT_EQ(SafeArrayPutElement(names, &index, first), S_OK);
    SysFreeString(first); // the array keeps its own copy
    // Replacing an element frees the one before (a leak would show under ASan).
    const BSTR again = SysAllocString(u"again");
    ASSERT_EQ(SafeArrayPutElement(names, &index, again), S_OK);
    SysFreeString(again);

    BSTR read = nullptr;
    ASSERT_EQ(SafeArrayGetElement(names, &index, &read), S_OK);
    EXPECT_EQ(std::u16string(read, SysStringLen(read)), u"again");
    SysFreeString(read);
    index = 2;
    ASSERT_EQ(SafeArrayGetElement(names, &index, &read), S_OK);
    EXPECT_EQ(read, nullptr); // never set

    for (const std::int32_t outside : {0, 3}) {
        SCOPED_TRACE(outside);
        EXPECT_EQ(SafeArrayPutElement(names, &outside, nullptr), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayGetElement(names, &outside, &read), DISP_E_BADINDEX);
    }
    EXPECT_EQ(SafeArrayDestroy(names), S_OK);

    SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, 0, 1);
    std::int32_t value = -5;
    index = 0;
    ASSERT_EQ(SafeArrayPutElement(numbers, &index, &value), S_OK);
    value = 0;
    ASSERT_EQ(SafeArrayGetElement(numbers, &index, &value), S_OK);
    EXPECT_EQ(value, -5);
    EXPECT_EQ(SafeArrayDestroy(numbers), S_OK);
}

// ---- VARIANT -----------------------------------------------------------

// A VT_ARRAY | VT_VARIANT holding a string, a number and an array of strings.
Variant nestedList() {
    SAFEARRAY* inner = SafeArrayCreateVector(VT_BSTR, 0, 1);
    std::int32_t index = 0;
    const BSTR deep = SysAllocString(u"deep");
    SafeArrayPutElement(inner, &index, deep);
    SysFreeString(deep);

    SAFEARRAY* outer = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    Variant element;
    element.get()->vt = VT_BSTR;
    element.get()->bstrVal = SysAllocString(u"A");
    index = 0;
    SafeArrayPutElement(outer, &index, element.get());
    element.receive()->vt = VT_I4;
    element.get()->lVal = 7;
    index = 1;
    SafeArrayPutElement(outer, &index, element.get());
    VARIANT* holder = element.receive();
    holder->vt = VT_ARRAY | VT_BSTR;
    holder->parray = inner;
    index = 2;
    SafeArrayPutElement(outer, &index, element.get());

    Variant list;
    list.get()->vt = VT_ARRAY | VT_VARIANT;
    list.get()->parray = outer;
    return list;
}

TEST(Variant, CopyIsDeepAndOutlivesTheOriginal) {
    Variant copy;
    {
        const Variant original = nestedList();
        ASSERT_EQ(VariantCopy(copy.get(), original.get()), S_OK);
        EXPECT_EQ(copy.get()->vt, VT_ARRAY | VT_VARIANT);
        EXPECT_NE(copy.get()->parray, original.get()->parray);
    }
    std::int32_t index = 0;
    Variant element;
    ASSERT_EQ(SafeArrayGetElement(copy.get()->parray, &index, element.receive()), S_OK);
    EXPECT_EQ(std::u16string(element.get()->bstrVal), u"A");
    index = 2;
    ASSERT_EQ(SafeArrayGetElement(copy.get()->parray, &index, element.receive()), S_OK);
    ASSERT_EQ(element.get()->vt, VT_ARRAY | VT_BSTR);
    BSTR deep = nullptr;
    index = 0;
    ASSERT_EQ(SafeArrayGetElement(element.get()->parray, &index, &deep), S_OK);
    EXPECT_EQ(std::u16string(deep), u"deep");
    SysFreeString(deep);

    // Copying over a VARIANT that holds something frees what it held.
    Variant text;
    text.get()->vt = VT_BSTR;
    text.get()->bstrVal = SysAllocString(u"old");
    ASSERT_EQ(VariantCopy(text.get(), copy.get()), S_OK);
    EXPECT_EQ(text.get()->vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(VariantCopy(text.get(), text.get()), S_OK);
}

TEST(Variant, ClearAndMoveOwnOnce) {
    Variant list = nestedList();
    Variant moved = std::move(list);
    EXPECT_EQ(list.get()->vt, VT_EMPTY); // the moved-from owner holds nothing
    EXPECT_EQ(moved.get()->vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(VariantClear(moved.get()), S_OK);
    EXPECT_EQ(moved.get()->vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(moved.get()), S_OK); // a second clear has nothing to free

    VARIANT unknown;
    VariantInit(&unknown);
    unknown.vt = 0x4000 | VT_I4; // by reference: not a type this layer holds
    EXPECT_EQ(VariantClear(&unknown), DISP_E_BADVARTYPE);
    EXPECT_EQ(unknown.vt, 0x4000 | VT_I4);
    Variant target;
    EXPECT_EQ(VariantCopy(target.get(), &unknown), DISP_E_BADVARTYPE);
}

TEST(Variant, ChangeTypeToText) {
    struct Case {
        VARTYPE type;
        std::int32_t number;
        HRESULT result;
        std::u16string text;
    };
    const Case cases[] = {
        {VT_I4, 42, S_OK, u"42"},
        {VT_INT, -7, S_OK, u"-7"},
        {VT_I4, INT32_MIN, S_OK, u"-2147483648"},
        {VT_EMPTY, 0, S_OK, u""},
        {VT_BOOL, VARIANT_TRUE, DISP_E_TYPEMISMATCH, u""},
        {VT_NULL, 0, DISP_E_TYPEMISMATCH, u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        Variant source;
        source.get()->vt = c.type;
        if (c.type == VT_BOOL) {
            source.get()->boolVal = static_cast<VARIANT_BOOL>(c.number);
        } else {
            source.get()->lVal = c.number;
        }
        Variant result;
        ASSERT_EQ(VariantChangeType(result.get(), source.get(), 0, VT_BSTR), c.result);
        if (c.result == S_OK) {
            ASSERT_EQ(result.get()->vt, VT_BSTR);
            EXPECT_EQ(std::u16string(result.get()->bstrVal, SysStringLen(result.get()->bstrVal)),
                      c.text);
        } else {
            EXPECT_EQ(result.get()->vt, VT_EMPTY);
        }
    }

    // In place, and a text stays a text.
    Variant value;
    value.get()->vt = VT_INT;
    value.get()->intVal = 12;
    ASSERT_EQ(VariantChangeType(value.get(), value.get(), 0, VT_BSTR), S_OK);
    ASSERT_EQ(VariantChangeType(value.get(), value.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(value.get()->bstrVal), u"12");
    // A conversion that fails leaves the target as it was.
    EXPECT_EQ(VariantChangeType(value.get(), value.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(value.get()->vt, VT_BSTR);
}

} // namespace
