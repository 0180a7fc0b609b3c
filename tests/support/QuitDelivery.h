#pragma once
// The ways a user ends the program, delivered as the platform delivers them: the window manager
// closing the window, Alt+F4, "quit" typed into the console, SIGTERM and SIGINT. For tests that
// quit the program's engine at chosen moments, from its own thread or from another one.
#include <SDL2/SDL.h>

#include <string>
#include <vector>

enum class TQuitWay { WindowClose, AltF4, TypedQuit, Sigterm, Sigint };

// A key pressed and text typed, into SDL's queue as the platform delivers them (text one
// character at a time).
void PushKey(SDL_Keycode Key, Uint16 Mod = KMOD_NONE);
void PushText(const std::string& Text);

// "window close", "Alt+F4", ...
const char* QuitWayName(TQuitWay Way);

// Delivers Way to the window (WindowClose: the window manager's delete request through the X
// server; the keys and text go into SDL's queue). ConsoleFocused tells whether the console has
// the keyboard: when it does not, F8 goes first. False when it could not be delivered.
bool DeliverQuit(TQuitWay Way, SDL_Window* Window, bool ConsoleFocused);

// Runs Program (this test program) as a child with Args and Env added to the environment, and
// waits at most Seconds for it; false when it had to be killed, else ExitStatus holds its wait status.
bool RunChildProcess(const std::vector<std::string>& Args, const std::string& Env, int Seconds, int& ExitStatus);
