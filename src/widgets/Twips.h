#pragma once

namespace tavrin {

// Converts the layout's twips to logical pixels (15 twips a pixel at 96 dpi).
constexpr int Tw(int twips) {
    return (twips + 7) / 15;
}

}  // namespace tavrin
