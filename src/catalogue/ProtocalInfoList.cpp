#include "catalogue/ProtocalInfoList.h"

#include <algorithm>

void ProtocalInfoList::Sort() { std::stable_sort(records_.begin(), records_.end()); }
