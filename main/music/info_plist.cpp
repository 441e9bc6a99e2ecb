// The bundle's property list, embedded in the executable's "__info_plist" section, as the
// platform's tools read it. Linked into the executable itself: no code refers to it.

#include <array>
#include <string_view>

namespace tolvane {

namespace {

constexpr std::string_view propertyList = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>tolvane</string>
	<key>CFBundleIdentifier</key>
	<string>org.tolvane.helper</string>
	<key>CFBundleName</key>
	<string>Tolvane</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>CFBundleShortVersionString</key>
	<string>)" TOLVANE_VERSION R"(</string>
	<key>CFBundleVersion</key>
	<string>1</string>
	<key>LSMinimumSystemVersion</key>
	<string>14.0</string>
	<key>LSUIElement</key>
	<true/>
	<key>NSAppleMusicUsageDescription</key>
	<string>Tolvane plays the songs you ask for from Apple Music.</string>
</dict>
</plist>
)";

// The text without a terminating NUL, so that the section holds the property list and nothing else.
constexpr auto bytes() {
  std::array<char, propertyList.size()> out{};
  for (std::size_t i = 0; i < propertyList.size(); ++i) out[i] = propertyList[i];
  return out;
}

}  // namespace

[[gnu::used, gnu::section("__info_plist")]] const std::array<char, propertyList.size()> infoPlist = bytes();

}  // namespace tolvane
