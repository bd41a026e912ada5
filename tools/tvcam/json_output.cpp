// JSON output (see json_output.h).
#include "json_output.h"

#include <math.h>

namespace tvcam {

void print_json(FILE* out, const json& doc) {
  const std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
  fputs(text.c_str(), out);
  fputc('\n', out);
}

double rounded(double v, int decimals) {
  if (!isfinite(v)) return v;
  const double scale = pow(10.0, decimals);
  return round(v * scale) / scale;
}

}  // namespace tvcam
