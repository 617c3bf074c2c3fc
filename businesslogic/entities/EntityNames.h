#pragma once
// The names of the software entities a managed computer runs, as its agent reports them: the
// keys of status entries, of the message strategies and of letters.
namespace vrn {

inline constexpr char ENTITY_DEX[] = "DEX";      // the anti-virus product
inline constexpr char ENTITY_DEX9X[] = "DEX9X";  // the anti-virus product on the older consumer Windows family
inline constexpr char ENTITY_AGENT[] = "Agent";  // the computer's agent
inline constexpr char ENTITY_ALC[] = "ALC";      // the auto-update component
inline constexpr char ENTITY_TZLIB[] = "TzLib";  // the library server
inline constexpr char ENTITY_TZ[] = "TZ";

}  // namespace vrn
