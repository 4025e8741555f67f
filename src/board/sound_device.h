// Sound device names as ALSA writes them, turned into the kernel's PCM
// playback device nodes.
#pragma once

#include <cstddef>

// A name is one of
//   hw:CARD[,DEV]  plughw:CARD[,DEV]   CARD a number or a card's id
//   hw:CARD=ID[,DEV=N]  (and the same with plughw)
//   default, or nullptr or ""           the first card that plays the sound
// DEV is 0 when not given. The card's id is the one in /proc/asound/cards
// (Headphones, vc4hdmi0, Device...), asked of each card's control device.
// Writes the node into `path` (/dev/snd/pcmC1D0p) and returns 1, or
// returns 0 for a name that asks for the first card that plays the sound
// (the caller then tries soundCardPath() for each card), -1 for a name
// that is none of these, or kSoundNameNoCard for one that names no card.
constexpr int kSoundNameNoCard = -2;
int soundDevicePath(const char* name, char* path, std::size_t size);

// The playback node of device 0 of card `card`, into `path`.
void soundCardPath(int card, char* path, std::size_t size);

// The most cards ALSA numbers.
constexpr int kSoundCards = 32;
