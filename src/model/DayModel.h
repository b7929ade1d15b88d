#pragma once

#include "model/clsLine.h"

#include <memory>

// The operational day's lines and trips. The jobs processing makes and fills
// colLines, the route pass completes its trips, the export reads it and clears
// the lines' bNew. When a new operational day begins, the jobs processing
// puts the new day it built apart in its place, or the database cycle drops
// it when the day's first query selected nothing.
struct DayModel
{
    std::unique_ptr<colLinesType> colLines; // null when absent (before the first rows, after 04:00)
};
