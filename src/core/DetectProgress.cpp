#include "core/DetectProgress.h"

std::string ProgressLine(const DetectProgress& progress) {
    std::string place = std::to_string(progress.index + 1) + " of " + std::to_string(progress.count);
    if (!progress.finished) return "probing " + place + ": " + progress.Code + " (" + progress.Dest + ")\r\n";
    std::string cost = progress.LinkCost < 0 ? "FAILD" : std::to_string(progress.LinkCost) + " ms";
    return "probed " + place + ": " + progress.Code + " " + cost + "\r\n";
}
