#include "serial/AfUiHooks.h"

namespace af {
namespace {
UiHooks& hooks() {
    static UiHooks h;
    return h;
}
} // namespace

void SetUiHooks(UiHooks h) {
    hooks() = std::move(h);
}

const UiHooks& Ui() {
    return hooks();
}

} // namespace af
