// tvcam's JSON output (--json and the preview's API): documents built with
// nlohmann-json, keys in the order they are set.
#pragma once

#include <stdio.h>

#include <nlohmann/json.hpp>

namespace tvcam {

using json = nlohmann::ordered_json;

// Writes `doc` indented by two spaces and ends it with a newline. Bytes of
// a camera's strings that are not UTF-8 become U+FFFD, so the output is
// always valid JSON.
void print_json(FILE* out, const json& doc);

// `v` rounded to `decimals` places, so a rate is printed as 29.97 rather
// than 29.970029970029973; non-finite values stay so (and print as null).
double rounded(double v, int decimals);

}  // namespace tvcam
