// --faults parsing (see fault_list.h).
#include "fault_list.h"

#include <stdio.h>

#include <set>

namespace tvcam {
namespace {

constexpr unsigned kPerMille = 1000;

struct fault_name {
  const char* name;
  unsigned sim::stream_faults::*rate;  // in 1/1000
};

const fault_name kFaultNames[] = {
    {"drop", &sim::stream_faults::drop_payload},  {"header", &sim::stream_faults::bad_header},
    {"packet", &sim::stream_faults::packet_error}, {"eof", &sim::stream_faults::missing_eof},
    {"short", &sim::stream_faults::short_frame},  {"long", &sim::stream_faults::long_frame},
    {"interrupt", &sim::stream_faults::interrupt}, {"empty", &sim::stream_faults::empty_packet},
    {"babble", &sim::stream_faults::babble},       {"request", &sim::stream_faults::request_error},
};

// "0", "1", "0.25", "1.000": at most 1, with up to three decimals that
// matter (further ones must be 0). The result in 1/1000.
bool parse_probability(const std::string& text, unsigned* per_mille, bool* nonzero) {
  size_t i = 0;
  unsigned whole = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 3) whole = whole * 10 + (text[i++] - '0');
  if (i == 0) return false;
  unsigned fraction = 0;
  unsigned scale = 100;
  *nonzero = whole != 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    const size_t first = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      const unsigned digit = static_cast<unsigned>(text[i] - '0');
      if (digit != 0) *nonzero = true;
      if (i - first < 3) {
        fraction += digit * scale;
        scale /= 10;
      } else if (i - first == 3 && digit >= 5) {
        ++fraction;  // rounded to the nearest 1/1000
      }
    }
    if (i == first) return false;
  }
  if (i != text.size()) return false;
  const unsigned value = whole * kPerMille + fraction;
  if (value > kPerMille) return false;
  *per_mille = value;
  return true;
}

}  // namespace

std::string accepted_fault_names() {
  std::string s;
  for (const fault_name& f : kFaultNames) s += (s.empty() ? "" : ", ") + std::string(f.name);
  return s;
}

bool parse_fault_list(const std::string& text, fault_list* faults, std::string* error) {
  fault_list result;
  if (text.empty() || text == "none") {
    *faults = result;
    return true;
  }
  std::set<std::string> seen;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    const size_t eq = item.find('=');
    const std::string name = item.substr(0, eq);
    const fault_name* def = nullptr;
    for (const fault_name& f : kFaultNames) {
      if (name == f.name) def = &f;
    }
    if (!def) {
      *error = "unknown fault '" + name + "' in '" + text + "'; accepted: " + accepted_fault_names() +
               ", each as NAME=P with P from 0 to 1";
      return false;
    }
    if (!seen.insert(name).second) {
      *error = "fault '" + name + "' given twice";
      return false;
    }
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    unsigned per_mille = 0;
    bool nonzero = false;
    if (!parse_probability(value, &per_mille, &nonzero)) {
      *error = "bad value '" + value + "' for fault '" + name + "'; expected a probability from 0 to 1";
      return false;
    }
    if (nonzero && per_mille == 0) {
      *error = "fault '" + name + "=" + value + "' is below the smallest probability, 0.001";
      return false;
    }
    result.*def->rate = per_mille;
    if (comma == text.size()) break;
    start = comma + 1;
  }
  *faults = result;
  return true;
}

std::string fault_list_text(const fault_list& faults) {
  std::string s;
  for (const fault_name& f : kFaultNames) {
    const unsigned v = faults.*f.rate;
    if (v == 0) continue;
    char buf[48];
    snprintf(buf, sizeof buf, "%s=%u.%03u", f.name, v / kPerMille, v % kPerMille);
    std::string item = buf;
    while (item.back() == '0') item.pop_back();  // "0.010" -> "0.01", "1.000" -> "1."
    if (item.back() == '.') item.pop_back();
    s += (s.empty() ? "" : ",") + item;
  }
  return s.empty() ? "none" : s;
}

}  // namespace tvcam
