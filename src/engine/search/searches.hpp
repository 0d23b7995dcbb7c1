// Every search algorithm, for the callers that run them.
#pragma once

#include "engine/search/basic.hpp"
#include "engine/search/ehc.hpp"
#include "engine/search/multiqueue.hpp"
#include "engine/search/weighted.hpp"
