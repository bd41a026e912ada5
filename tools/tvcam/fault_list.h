// The --faults grammar: a comma-separated list of NAME=P items, P being a
// probability from 0 to 1 in steps of 0.001 (the simulator draws its faults
// in 1/1000), e.g. "drop=0.01,eof=0.005,babble=0.002". Each name at most
// once; "none" or an empty text is no fault. A probability above 0 that
// rounds to 0 is refused rather than silently dropped.
//
//   per payload:   drop (payload not sent), header (bad payload header),
//                  packet (isochronous packet error)
//   per frame:     eof (end-of-frame bit missing), short (frame ends early),
//                  long (extra bytes after the frame), interrupt (interrupt
//                  packet while a frame is sent)
//   per packet:    empty (zero-length isochronous packet)
//   per transfer:  babble (transfer ends in babble), request (transfer error,
//                  at most twice per stream)
#pragma once

#include <string>

#include "sim/uvc_stream.h"

namespace tvcam {

using fault_list = sim::stream_faults;

// "drop, header, ...": the accepted names for messages.
std::string accepted_fault_names();

bool parse_fault_list(const std::string& text, fault_list* faults, std::string* error);

// The canonical text of a fault list ("drop=0.01,babble=0.002"; "none" without faults).
std::string fault_list_text(const fault_list& faults);

}  // namespace tvcam
