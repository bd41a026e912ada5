// The --faults grammar: a comma-separated list of NAME=P items, P being a
// probability from 0 to 1 in steps of 0.001 (the simulator draws its faults
// in 1/1000), e.g. "drop=0.01,eof=0.005,babble=0.002". Each name at most
// once; "none" or an empty text is no fault. A probability above 0 that
// rounds to 0 is refused rather than silently dropped.
//
// Every kind is drawn on its own, per the unit named in the help (what each
// does on the wire is in docs/simulator.md). Rates per payload add up over
// a frame: a 640x480 "Y800" frame is 101 isochronous payloads, so drop=0.01
// loses about two frames in three.
#pragma once

#include <string>
#include <vector>

#include "sim/uvc_stream.h"

namespace tvcam {

struct fault_list {
  sim::stream_faults stream;     // the video stream's faults
  unsigned control_stall = 0;    // per mille of class and vendor requests: the camera stalls
  unsigned control_timeout = 0;  // per mille of class and vendor requests: never answered
};

// What a fault needs of the simulated camera to take effect.
enum class fault_needs { anything, isochronous, interrupt_endpoint };

struct fault_kind {
  const char* name;
  fault_needs needs;
  unsigned sim::stream_faults::*stream_rate;  // one of the two is set
  unsigned fault_list::*control_rate;
};

const std::vector<fault_kind>& fault_kinds();

// "drop, header, ...": the accepted names for messages.
std::string accepted_fault_names();

bool parse_fault_list(const std::string& text, fault_list* faults, std::string* error);

// The rate of `kind` in `faults`, in 1/1000.
unsigned fault_rate(const fault_list& faults, const fault_kind& kind);

// The canonical text of a fault list ("drop=0.01,babble=0.002"; "none" without faults).
std::string fault_list_text(const fault_list& faults);

// Whether the faults can take effect on a camera streaming isochronously
// (or over bulk) and with (or without) an interrupt endpoint; false with a
// message naming the first that cannot.
bool faults_apply(const fault_list& faults, bool isochronous, bool interrupt_endpoint, std::string* error);

}  // namespace tvcam
