// The sizes of the string buffers a plug-in hands its host (see the host
// functions' comments): the host is never told them, so both sides must agree
// on them here. Each holds the answer and its terminator.
#pragma once

#include <cstddef>

namespace tarvex {

constexpr std::size_t hostPathBufferSize = 512;  // tGetKRVPath, tGetPluginsPath
constexpr std::size_t hostTextBufferSize = 601;  // tGetProjectName, tGetTargetFolder

}  // namespace tarvex
