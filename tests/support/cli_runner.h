// How the command-line tests run the tool: the Linux program over the fake
// libusb 0.1, or velorin.exe under Wine over the fake libusb0.dll. The test
// executable links one runner; the tables above it are the same.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace runner {

// The command line that runs the tool with ARGS.
std::vector<std::string> Command(const std::vector<std::string>& args);

// In the child, before exec: the environment the tool needs to find the
// fake bus.
void PrepareChild();

// A file as the tool names it (under Wine, Z:\... for the Unix path).
std::string ToolPath(const std::filesystem::path& path);

// The reason the write-failure line gives for output sent to STDOUT_TO
// ("/dev/full", "closed" or "broken pipe").
std::string WriteFailureReason(const std::string& stdoutTo);

}  // namespace runner
