// What every exported set must satisfy whatever the model was: headers that
// agree with the file sizes and with each other, and a script class that
// declares the frames the animation file holds. Used by the damaged-file
// sweep and the fuzz targets, so it depends on nothing but the files.
#pragma once

#include <string>

namespace testing_support {

// "" when the set of files written for the chosen name base ("dir/Name" for
// dir/Name_d.3d, dir/Name_a.3d, dir/Name.uc) is consistent, else the first
// problem found. With cornersInRange, every triangle corner must also name
// one of the vertices (the host program's inputs guarantee it; a host may not).
std::string CheckExportedSet(const std::string& base, bool cornersInRange);

}  // namespace testing_support
