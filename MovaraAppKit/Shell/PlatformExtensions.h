#pragma once
// The shell's extensions of platform types: its own bundle, type tests of file URLs, the dark
// window appearance and the title-bar height. The bundle and the height are made once, on
// first use.

#include <memory>
#include <string>

#include "Platform/Foundation/URL.h"

namespace foundation {
class Bundle;
}
namespace ui {
class Window;
}

// "com.movara.MovaraAppKit": the identifier the shell's bundle is registered under.
extern const std::string MVRMovaraAppKitBundleIdentifier;

// The shell's own bundle (its string tables and resources): the "MovaraAppKit/Resources"
// folder installed beside the library, else the source tree's resources (a development
// build). The shell's texts are never looked up in the application's bundle.
std::shared_ptr<foundation::Bundle> mvr_movaraAppKitBundle();

// Whether the file's type identifier conforms to `type`; false when the type cannot be told
// (a missing file, a URL that is not a file URL).
bool mvr_conformsToType(const foundation::URL& url, const std::string& type);
bool mvr_isImageURL(const foundation::URL& url);
bool mvr_isMovieURL(const foundation::URL& url);
// A file URL of an existing directory.
bool mvr_isDirectoryURL(const foundation::URL& url);

// Gives the window the dark appearance.
void mvr_setDarkAppearance(ui::Window& window);

// How far below the top of a titled window its content begins; account sheets are placed
// this far down.
double titleBarHeight();
