#pragma once
// A folder tree of pictures with one folder per kind (the folder's name names
// the kind), as photo collections are usually sorted.
#include <map>
#include <string>
#include <vector>

// Kind name -> its pictures (sorted paths). A kind is every folder that directly
// holds .jpg/.jpeg/.png files, at any depth.
std::map<std::string, std::vector<std::string>> picture_kinds(const std::string& root);
