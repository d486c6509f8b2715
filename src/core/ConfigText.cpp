#include "core/ConfigText.h"

std::string ConfigText::Get() const {
    MutexLock hold(lock_);
    return text_;
}

bool ConfigText::Empty() const {
    MutexLock hold(lock_);
    return text_.empty();
}

void ConfigText::Set(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string bounded(text.substr(0, kConfigTextSize - 1));
    MutexLock hold(lock_);
    text_.swap(bounded);
}
