// The magic numbers that open the three student blobs, shared by their writers and readers.
#pragma once

inline constexpr char TREE_MAGIC[8] = {'V', 'N', 'T', 'R', 'E', 'E', '0', '1'};
inline constexpr char GBT_MAGIC[8] = {'V', 'N', 'G', 'B', 'T', '0', '1', '\0'};
inline constexpr char MLP_MAGIC[8] = {'V', 'N', 'M', 'L', 'P', '0', '1', '\0'};
