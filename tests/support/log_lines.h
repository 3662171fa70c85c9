// Reading the launcher's log back: the texts of its lines without the "+%-8llu " time
// prefix, and checks on them (a line present, lines in order).
#pragma once

#include <string>
#include <vector>

// The lines of text without their line ends.
std::vector<std::string> splitLines(const std::string& text);
// One text per line of log, its prefix taken off (lines without one stay whole).
std::vector<std::string> logTexts(const std::string& log);
bool hasLine(const std::string& log, const std::string& text);
int countLinesStartingWith(const std::string& log, const std::string& start);
// The text of the first line that starts with start, without start; "" when none.
std::string lineAfter(const std::string& log, const std::string& start);
// "" when every expected text is a whole line of log, in this order (others may come
// between); else the first one missing or out of order.
std::string missingInOrder(const std::string& log, const std::vector<std::string>& expected);
// The text without the download's console bars ("%3.0f%% [", '=' and ' ' columns, "]\r"),
// which end in a carriage return and so run into the next line.
std::string withoutDownloadBars(const std::string& out);
