// Python parameter dicts and batch plans into plain values. Runs with the
// interpreter lock held, before any calculator; the results hold no Python
// object and may be read by any thread afterwards.
#pragma once

#include <vector>

#include "helpers/params.h"
#include "batch/engine.h"
#include "module/pyref.h"

namespace module {

using batch::PlanItem;
using helpers::Params;
using helpers::PVal;

// One Params per dict of `list` (a list or subclass), in list order. False
// with a Python error set on the first failure; throws InternalFailure when a
// dict changes while it is read.
bool params_from_list(PyObject* list, std::vector<Params>& out);

// One PlanItem per (name, [params]) tuple of `plan` (a list or subclass).
bool parse_plan(PyObject* plan, std::vector<PlanItem>& out);

}  // namespace module
