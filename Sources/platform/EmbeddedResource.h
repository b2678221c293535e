#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The bytes of a resource of the registered bundles at `path`; false, with GLib's reason, when
// there is none.
bool readEmbeddedResource(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& reason);
