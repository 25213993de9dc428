#pragma once
// The start-up sequence of the parameter database. main runs the two halves
// around the start of the SD card task (which may restore the file from the
// card in between):
//
//   loadParameters(table, parameters, identity.product);
//   ... SD card task ...
//   countStart(table, parameters);
#include "params/product_info.h"

class ParamTable;
struct Parameters;

// Loads /etc/params.dat (the defaults stay where it is missing or a line is
// refused), then applies the product's runtime environment, which hides
// parameters and may correct the product's port count. Returns the result of
// ParamTable::load.
int loadParameters(ParamTable& table, const Parameters& parameters, ProductInfo& product);

// Counts this start in life, applies the changes and saves /etc/params.dat
// when they ask for it. Returns the ApplyResult bits, or -1 when the save
// failed (the old file is kept).
int countStart(ParamTable& table, const Parameters& parameters);
