// --faults parsing (see fault_list.h).
#include "fault_list.h"

#include <stdio.h>

#include <set>

namespace tvcam {
namespace {

constexpr unsigned kPerMille = 1000;

using sf = sim::stream_faults;

// In the order of the help; what each does on the wire is in
// docs/simulator.md.
const std::vector<fault_kind> kKinds = {
    {"drop", fault_needs::anything, &sf::drop_payload, nullptr},          // per payload: not sent
    {"header", fault_needs::anything, &sf::bad_header, nullptr},          // per payload: bad header length
    {"packet", fault_needs::isochronous, &sf::packet_error, nullptr},     // per payload: packet error
    {"eof", fault_needs::anything, &sf::missing_eof, nullptr},            // per frame: no EOF
    {"short", fault_needs::anything, &sf::short_frame, nullptr},          // per frame: ends early
    {"long", fault_needs::anything, &sf::long_frame, nullptr},            // per frame: extra bytes
    {"interrupt", fault_needs::interrupt_endpoint, &sf::interrupt, nullptr},  // per frame: status packet
    {"empty", fault_needs::isochronous, &sf::empty_packet, nullptr},      // per packet: zero-length
    {"babble", fault_needs::anything, &sf::babble, nullptr},              // per transfer: babble, data lost
    {"request", fault_needs::anything, &sf::request_error, nullptr},      // per transfer: error, data lost
    {"stall", fault_needs::anything, nullptr, &fault_list::control_stall},      // per control request
    {"timeout", fault_needs::anything, nullptr, &fault_list::control_timeout},  // per control request
};

unsigned& rate_of(fault_list& faults, const fault_kind& kind) {
  return kind.stream_rate != nullptr ? faults.stream.*kind.stream_rate : faults.*kind.control_rate;
}

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

const std::vector<fault_kind>& fault_kinds() { return kKinds; }

unsigned fault_rate(const fault_list& faults, const fault_kind& kind) {
  return rate_of(const_cast<fault_list&>(faults), kind);
}

std::string accepted_fault_names() {
  std::string s;
  for (const fault_kind& f : kKinds) s += (s.empty() ? "" : ", ") + std::string(f.name);
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
    const fault_kind* def = nullptr;
    for (const fault_kind& f : kKinds) {
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
    rate_of(result, *def) = per_mille;
    if (comma == text.size()) break;
    start = comma + 1;
  }
  *faults = result;
  return true;
}

std::string fault_list_text(const fault_list& faults) {
  std::string s;
  for (const fault_kind& f : kKinds) {
    const unsigned v = fault_rate(faults, f);
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

bool faults_apply(const fault_list& faults, bool isochronous, bool interrupt_endpoint, std::string* error) {
  for (const fault_kind& f : kKinds) {
    if (fault_rate(faults, f) == 0) continue;
    if (f.needs == fault_needs::isochronous && !isochronous) {
      *error = "fault '" + std::string(f.name) + "' needs an isochronous camera; this one streams over bulk";
      return false;
    }
    if (f.needs == fault_needs::interrupt_endpoint && !interrupt_endpoint) {
      *error = "fault '" + std::string(f.name) + "' needs a camera with an interrupt endpoint; this one has none";
      return false;
    }
  }
  return true;
}

}  // namespace tvcam
