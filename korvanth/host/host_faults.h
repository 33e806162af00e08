// Faults a test host makes on request: the exported host functions answer as
// a broken host would. Only a host built with KORVANTH_TEST_FAULTS (the
// end-to-end test program, see test/CMakeLists.txt) has them; Korvanth itself
// carries neither the switches nor the checks.
#pragma once

namespace korvanth {

struct HostFaults {
    bool answerNullTimeCourse = false;  // tGetTimeCourseData answers nullptr
    bool answerNullPluginMaps = false;  // tGetPluginMaps answers nullptr
};

// The test host's switches; defined only where KORVANTH_TEST_FAULTS is.
HostFaults& hostFaults();

}  // namespace korvanth
