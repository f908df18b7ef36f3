// Everything a property or a device server needs from the framework.
#pragma once

#include "d_value.h"
#include "eq_data.h"
#include "eq_exceptions.h"
#include "eq_fct.h"
#include "tavik_log.h"
#include "tavik_time.h"
#include "tavik_types.h"
