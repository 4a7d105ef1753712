#pragma once
// Paths and stored texts as they cross into Qt and back.

#include <QString>

#include <string>
#include <string_view>

namespace chronark {

// Paths cross into Qt as the file system's bytes.
QString PathToQt(const std::string& Path);
std::string PathFromQt(const QString& Path);
// Stored texts (remarks, lines) cross as Windows-1252.
QString TextToQt(std::string_view Text);
std::string TextFromQt(const QString& Text);

}  // namespace chronark
