#pragma once

#include <string>

// What the window's lines share, wherever in the control layer they are made.
namespace WindowLines {

// Every line of the window and its session.
inline const std::string kPrefix = "MainWindow: ";
// The lines that the window writes in the sender's name (the requests it frames itself).
inline const std::string kSenderPrefix = "SerialSender: ";
// An upload asked for without an image.
inline constexpr const char* kNoImage = "File path is empty or did't exist";

} // namespace WindowLines
