#include "music_service/simulated/catalog.h"

namespace tolvane {

namespace {

Song song(std::string id, std::string title, std::string artist, std::optional<std::string> album,
          std::optional<double> duration, bool hasArtwork = true, bool hasUrl = true) {
  Song s;
  s.title = std::move(title);
  s.artistName = std::move(artist);
  s.albumTitle = std::move(album);
  s.duration = duration;
  if (hasArtwork) s.artwork = Artwork{"https://artwork.example/" + id + "/{w}x{h}bb.jpg"};
  if (hasUrl) s.url = "https://music.example/us/song/" + id;
  s.id = std::move(id);
  return s;
}

}  // namespace

const std::vector<Song>& embeddedCatalog() {
  static const std::vector<Song> catalog{
      song("1000000001", "Morning Tide", "Harbor Lights", "Coastlines", 214.0),
      song("1000000002", "Paper Lanterns", "Harbor Lights", "Coastlines", 187.5),
      song("1000000003", "Northbound", "Harbor Lights", "Coastlines", 241.2),
      song("1000000004", "Caf\u00e9 \u00d8rsted", "L\u00eda Monta\u00f1o", "Ciudad Lenta", 198.0),
      song("1000000005", "Night/Day", "The Slashes", "Either/Or", 176.3),
      song("1000000006", "She Said \"Later\"", "Basement Tapes Collective", std::nullopt, 132.0),
      song("1000000007", "Open Air", "Pirate Frequency", "Broadcasts", std::nullopt),
      song("1000000008", "Quiet Room", "Mira Sol", "Interiors", 305.0, /*hasArtwork=*/false),
      song("1000000009", "Field Recording", "Mira Sol", "Interiors", 95.0, true, /*hasUrl=*/false),
      song("1000000010", "Sunrise \U0001F305", "K\u014dy\u014d", "\u671d", 222.0),
      song("1000000011", "Tiny Click", "Test Signals", "Calibration", 2.5),
      song("1000000012", "Short Bell", "Test Signals", "Calibration", 4.0),
      song("1000000013", "Short Chime", "Test Signals", "Calibration", 6.0),
      song("1000000014", "Short Gong", "Test Signals", "Calibration", 9.0),
      song("1000000015", "Long Form", "Slow Radio", "Hours", 3600.0),
      song("1000000016", "Back\\Slash", "Escape Sequence", "Control", 150.0),
  };
  return catalog;
}

}  // namespace tolvane
