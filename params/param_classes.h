#pragma once
// Every parameter class and the registry, for the code that declares the
// parameter tables.
#include "params/int_param.h"
#include "params/ip4_address.h"
#include "params/ip6_address.h"
#include "params/mac_address.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/param.h"
#include "params/param_table.h"
#include "params/string_param.h"
