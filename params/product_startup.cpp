#include "params/product_startup.h"

#include <cstdint>

#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product.h"

int loadParameters(ParamTable& table, const Parameters& parameters, ProductInfo& product) {
  const int result = table.load("/etc/params.dat");
  setRuntimeEnv(table, parameters, product);
  return result;
}

int countStart(ParamTable& table, const Parameters& parameters) {
  const int32_t life = parameters.life->value();
  if (life < INT32_MAX) parameters.life->setChecked(life + 1);
  const int bits = table.resetModified();
  if ((bits & ApplySave) != 0 && table.save("/etc/params.dat") != 0) return -1;
  return bits;
}
