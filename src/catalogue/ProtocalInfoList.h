// ProtocalInfoList carries candidate connections between the readers, the
// detection run, the result files and the proxies. It owns copies of its
// records, copies them all when it is copied, and sorts by the ranking order
// without disturbing the order of records that rank equal, so that the file
// order of equally good connections survives every sort.
#pragma once

#include <cstdint>
#include <vector>

#include "catalogue/ProtocalInfo.h"

class ProtocalInfoList {
public:
    using iterator = std::vector<ProtocalInfo>::iterator;
    using const_iterator = std::vector<ProtocalInfo>::const_iterator;

    void PushBack(const ProtocalInfo& record) { records_.push_back(record); }
    void PushFront(const ProtocalInfo& record) { records_.insert(records_.begin(), record); }
    void Clear() { records_.clear(); }

    int32_t Count() const { return static_cast<int32_t>(records_.size()); }
    bool Empty() const { return records_.empty(); }

    // The first record, or null when the list is empty.
    const ProtocalInfo* First() const { return records_.empty() ? nullptr : &records_.front(); }
    ProtocalInfo* First() { return records_.empty() ? nullptr : &records_.front(); }

    iterator begin() { return records_.begin(); }
    iterator end() { return records_.end(); }
    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }

    // Stable sort by ProtocalInfo::operator<.
    void Sort();

private:
    std::vector<ProtocalInfo> records_;
};
