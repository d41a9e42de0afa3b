#pragma once

namespace rr {

// Installs the publisher key this executable was built with (the CMake option
// RIVERORAVAV_MANIFEST_PUBLIC_KEY); a build without one installs nothing and
// takes manifests unsigned. Defined in a source file CMake generates for each
// product executable, so that a second executable can carry another key.
void InstallEmbeddedManifestKey();

}  // namespace rr
