#pragma once
// Python's standard mail reader (Debian's python3 with its email package),
// a reader that shares no code with ours, for messages the tests composed.
// One python3 process serves the whole test program; what it prints for a
// message is described in tests/data/composed_parts.py.
#include <string>
#include <string_view>

namespace VizuTest {

// The "part ..." lines composed_parts.py prints for the message, each ended
// by "\n"; a line starting with "error: " when python3 cannot be started or
// stops answering.
std::string PythonReadsMessage(std::string_view message);

}  // namespace VizuTest
