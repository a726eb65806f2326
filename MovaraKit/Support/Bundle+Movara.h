#pragma once
// The framework's own bundle (its string tables and resources) and the running application's
// version text. Both are made once, on first use; any thread.

#include <memory>
#include <string>

namespace foundation {
class Bundle;
}

// "com.movara.MovaraKit": the identifier the framework bundle is registered under.
extern const std::string MVRMovaraKitBundleIdentifier;

// The framework bundle: the "MovaraKit/Resources" folder installed beside the library when
// there is one, else the framework's source resources (a development build).
std::shared_ptr<foundation::Bundle> mvr_movaraKitBundle();

// Registers a framework's bundle under `identifier`, named `name`: the "<name>/Resources"
// folder installed beside the shared library that holds `addressInLibrary` when there is one,
// else `sourceResources` (a development build). Each framework calls it once, for itself.
std::shared_ptr<foundation::Bundle> mvr_registerFrameworkBundle(const std::string& identifier, const std::string& name,
                                                                const void* addressInLibrary,
                                                                const std::string& sourceResources);

// "<name> <short version> (<build>)" from the main bundle's information dictionary, with a
// missing or non-text value read as "": name Editor, version 2.1, build 345 give
// "Editor 2.1 (345)".
const std::string& mvr_applicationVersionBuildString();
