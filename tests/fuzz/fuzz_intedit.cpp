// The integer field: arbitrary limits, settings and typed text through
// parsing, validation and stepping. Checks: the value never leaves the
// limits and is what the field shows; a text accepted by the parser is a
// plain number that reads back the same; validation with correction always
// ends on a number in the limits, without it either on the typed number or
// with one message and the value kept.
#include "FuzzCheck.h"
#include "gui/uIntEdit.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <cstdint>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>

namespace {

int gBoxes = 0;

void CheckShown(const TIntEdit& edit) {
    FUZZ_CHECK(edit.MinValue() <= edit.MaxValue());
    FUZZ_CHECK(edit.Value() >= edit.MinValue() && edit.Value() <= edit.MaxValue());
    FUZZ_CHECK(edit.text() == QString::number(edit.Value()));
}

bool IsNumberChar(QChar c) {
    return c == u' ' || c == u'+' || c == u'-' || c == u'$' || c == u'x' || c == u'X' ||
           (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    new QApplication(*argc, *argv); // lives for the whole run
    platform::SetMessageHook([](const platform::MessageRequest&) {
        ++gBoxes;
        return platform::MsgResult::Ok;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    static TIntEdit* edit = new TIntEdit; // one field, as a dialog keeps it
    edit->SetMinValue(std::numeric_limits<std::int32_t>::min());
    edit->SetMaxValue(in.ConsumeIntegral<std::int32_t>());
    edit->SetMinValue(in.ConsumeIntegral<std::int32_t>());
    edit->SetIncrement(in.ConsumeIntegral<std::int32_t>());
    edit->SetPageMult(in.ConsumeIntegral<std::uint16_t>());
    edit->SetAutoCorrect(in.ConsumeBool());
    edit->SetValue(in.ConsumeIntegral<std::int32_t>());
    CheckShown(*edit);
    const int steps = in.ConsumeIntegralInRange(0, 3);
    const bool page = in.ConsumeBool();
    const TUDBtnType button = in.ConsumeBool() ? btNext : btPrev;
    const QString text = QString::fromUtf8(in.ConsumeRemainingBytesAsString());

    std::int32_t candidate = 0;
    if (TIntEdit::ParseText(text, candidate)) {
        for (const QChar c : text)
            FUZZ_CHECK(IsNumberChar(c));
        std::int32_t again = 0;
        FUZZ_CHECK(TIntEdit::ParseText(QString::number(candidate), again) && again == candidate);
    }

    const std::int32_t before = edit->Value();
    const int boxes = gBoxes;
    edit->setText(text);
    const bool valid = edit->ValidateText();
    if (edit->AutoCorrect() || valid) {
        FUZZ_CHECK(valid && gBoxes == boxes);
        CheckShown(*edit);
    } else {
        FUZZ_CHECK(gBoxes == boxes + 1 && edit->Value() == before);
    }

    edit->setText(text);
    for (int i = 0; i < steps; ++i) {
        const std::int32_t from = edit->Value();
        edit->StepValue(button, page);
        CheckShown(*edit);
        if (i > 0) // the first step may take up the typed text first
            FUZZ_CHECK(button == btNext ? edit->Value() >= from : edit->Value() <= from);
    }
    return 0;
}
