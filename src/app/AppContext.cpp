#include "app/AppContext.h"

AppContext::AppContext() {
    for (auto& row : clientSlots)
        for (int& slot : row) slot = -1;
}
