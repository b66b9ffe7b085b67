// The paths of the program's own files and folders by key, below the suite data folder and the
// program's folder (host/files.h finds those).
#pragma once

#include <string>

// The path of a host file or folder by key ("current_usb", "accept", "sys", ...).
std::u16string get_path(const std::u16string& key);
