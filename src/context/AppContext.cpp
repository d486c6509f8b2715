#include "context/AppContext.h"

AppContext::AppContext() {
    for (auto& row : clientSlots)
        for (int& slot : row) slot = -1;
}
