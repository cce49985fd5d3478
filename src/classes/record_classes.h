// The four record classes, reached only through the lists that an Output hands out.
#pragma once

#include "records/records.h"

namespace corvane {

// A new list of new record instances holding copies of `records`, in order.
Ref record_list(const std::vector<ValChange>& records);
Ref record_list(const std::vector<TypeAndValChange>& records);
Ref record_list(const std::vector<DictDiff>& records);
Ref record_list(const std::vector<IterLenMismatch>& records);

}  // namespace corvane
