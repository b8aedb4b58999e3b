// The detection dialogs' resources as data: the three templates, the
// pictures and button faces, the texts and the token table.

#include "control/ui/QxDetect.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Resources.h"

#include <vector>

namespace {

using namespace platform::ui;

DialogTemplate detectDialog(std::uint32_t id, std::u16string_view cancel) {
    DialogTemplate d;
    d.id = id;
    d.width = 199;
    d.height = 75;
    d.font = {u"System", 10};
    d.style = 0; // no caption
    d.controls = {{ControlKind::Button,
                   kIdCancel,
                   {120, 55, 32, 10},
                   std::u16string(cancel),
                   kStyleOwnerDraw | kStyleTabStop,
                   0}};
    return d;
}

struct BitmapResource {
    std::uint32_t id;
    BitmapInfo size;
};
// The gb and jp button faces are not among them: that button stays unpainted.
constexpr BitmapResource kBitmaps[] = {
    {kDetectBitmapInsert, {398, 150}},
    {kDetectBitmapRemove, {398, 150}},
    {kDetectButtonBig5, {64, 20}},
    {kDetectButtonEnglish, {64, 20}},
};

// The card and token dialogs' texts; a few keep the blank they end with.
const std::vector<StringEntry>& stringTable() {
    static const std::vector<StringEntry> table = {
        // Card: remove, with and without a removal first; insert, likewise.
        {30177, u"請先將ATM卡片拔出後，重新插入。"},
        {30185, u"請先將ATM卡片拔出後，重新插入。"},
        {30181, u"請插入ATM卡片。"},
        {30189, u"請插入ATM卡片。"},
        {30180, u"请先将所有放行之凭证拔出后，重新插入。"},
        {30188, u"请先将放行之凭证拔出后，重新插入。"},
        {30184, u"请插入ATM卡片。"},
        {30192, u"请插入放行之凭证。"},
        {30178, u"Please draw out your ATM Card first."},
        {30186, u"Please draw out your ATM Card first and insert again."},
        {30182, u"Please insert your ATM Card."},
        {30190, u"Please insert your ATM Card."},
        {30179, u"あなたが挿入し直し、ATMカードの後に引き出すために必要がある。"},
        {30187, u"あなたが挿入し直し、ATMカードの後に引き出すために必要がある。"},
        {30183, u"ATMカードを挿入してください"},
        {30191, u"ATMカードを挿入してください"},
        // Token.
        {30146, u"請先將放行之憑證拔出後，重新插入。 "},
        {30152, u"請先將ATM卡片拔出後，重新插入。 "},
        {30149, u"請插入放行之憑證。"},
        {30155, u"請插入ATM卡片。"},
        {30173, u"请先将所有放行之凭证拔出后，重新插入。"},
        {30175, u"请先将所有放行之凭证拔出后，重新插入。"},
        {30174, u"请插入放行之凭证。"},
        {30176, u"请插入ATM卡片。"},
        {30148, u"Please draw out your token first."},
        {30154, u"Please draw out your ATM Card first and insert again."},
        {30151, u"Please insert your token."},
        {30157, u"Please insert your ATM Card."},
        {30147, u"抜き出して設置を下さい "},
        {30153, u"あなたが挿入し直し、ATMカードの後に引き出すために必要がある。"},
        {30150, u"挿入して設置を下さい"},
        {30156, u"ATMカードを挿入してください。"},
    };
    return table;
}

// The rows of the token devices the prompt knows; the rest are empty.
constexpr QxDetectTokenRow row(const char* device, GUID guid, const char* hardwareId,
                               const char* provider, const char* enumerator) {
    QxDetectTokenRow r{};
    for (std::size_t i = 0; device[i] != '\0' && i + 1 < sizeof r.szDeviceName; ++i) {
        r.szDeviceName[i] = device[i];
    }
    r.guidInterface = guid;
    for (std::size_t i = 0; hardwareId[i] != '\0' && i + 1 < sizeof r.szHardwareId; ++i) {
        r.szHardwareId[i] = hardwareId[i];
    }
    for (std::size_t i = 0; provider[i] != '\0' && i + 1 < sizeof r.szProvider; ++i) {
        r.szProvider[i] = provider[i];
    }
    for (std::size_t i = 0; enumerator[i] != '\0' && i + 1 < sizeof r.szEnumerator; ++i) {
        r.szEnumerator[i] = enumerator[i];
    }
    return r;
}

constexpr std::array<QxDetectTokenRow, kDetectTokenRows> tokenTable() {
    std::array<QxDetectTokenRow, kDetectTokenRows> table{};
    table[0] = row("Tessaly USB Key", guidLiteral("{5C8E2A41-3B7D-4E19-A2C6-91F0D34B7E21}"),
                   "vid_2f3a&pid_0101", "Tessaly Token Cryptographic Provider", "USB");
    table[1] = row("Orbec eSign", guidLiteral("{A7D10F32-64E5-4B8A-9C13-2E5F7A90C4D6}"),
                   "vid_31c4&pid_1a20", "Orbec eSign CSP", "USB");
    table[2] = row("Kelvar Token", guidLiteral("{0E6B94C7-D825-4F31-B7A0-5C3E81F26A9B}"),
                   "vid_1d9e&pid_4400", "Kelvar Smart Token Provider", "USB");
    return table;
}

} // namespace

const std::array<QxDetectTokenRow, kDetectTokenRows> g_QxDetectTokenTable = tokenTable();

void QxDetect_RegisterResources() {
    registerDialogTemplate(detectDialog(kDetectDialogBig5, u"取消"));
    registerDialogTemplate(detectDialog(kDetectDialogEnglish, u"Cancel"));
    registerDialogTemplate(detectDialog(kDetectDialogGb, u"取消"));
    for (const auto& bitmap : kBitmaps) {
        registerBitmap(bitmap.id, bitmap.size);
    }
    registerStrings(kLanguageChineseTaiwan, stringTable());
}
