// Message boxes and the application's top-level exception handler.
//
// In the GUI these are Qt message boxes; in headless mode the text goes to
// standard error and the call returns the box's default at once, because a
// modal box with nobody to click would hang a service. Main thread only.
#pragma once

#include <QString>
#include <exception>
#include <functional>

namespace platform {

enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgButtons { Ok, OkCancel, YesNo };
enum class MsgResult { Ok, Cancel, Yes, No };

// What a box says; which window it is modal over is the windows' choice.
struct MessageRequest {
    QString Text;
    QString Caption; // empty: no title text at all (as the design asks for some warnings)
    MsgIcon Icon = MsgIcon::None;
    MsgButtons Buttons = MsgButtons::Ok;
};

// The application title, used by the exception handler's boxes.
QString ApplicationTitle(); // "Kelvox"

void SetHeadless(bool headless);
bool IsHeadless();

// Shows a modal box (GUI) or prints "caption: text" to stderr (headless).
// The default answer is the first button.
MsgResult ShowMessage(const MessageRequest& request);

// Reports an exception that escaped a handler: an error box titled with the
// application title, or a line on stderr when headless.
void HandleApplicationException(std::exception_ptr error);
void HandleApplicationException(const std::exception& error);
// The text shown for an exception: its what(), or a generic text.
QString ExceptionText(std::exception_ptr error);

// The windows install the real boxes at start; without them (headless) the
// text goes to standard error and the default answer is returned.
using MessageHook = std::function<MsgResult(const MessageRequest&)>;
void SetMessagePresenter(MessageHook presenter);

// Tests replace the real boxes with a recorder. Passing an empty function
// restores the real behaviour.
void SetMessageHook(MessageHook hook);

} // namespace platform
