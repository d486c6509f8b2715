#include "core/ConfigText.h"

std::string ConfigText::Get() const {
    std::lock_guard<std::mutex> hold(lock_);
    return text_;
}

bool ConfigText::Empty() const {
    std::lock_guard<std::mutex> hold(lock_);
    return text_.empty();
}

void ConfigText::Set(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string bounded(text.substr(0, kConfigTextSize - 1));
    std::lock_guard<std::mutex> hold(lock_);
    text_.swap(bounded);
}
