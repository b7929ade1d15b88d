#pragma once

#include "model/clsLine.h"

#include <memory>

// The operational day's lines and trips. The jobs processing makes and fills
// colLines, the route pass completes its trips, the export reads it and clears
// the lines' bNew, and the database cycle drops it when a new operational day
// begins.
struct DayModel
{
    std::unique_ptr<colLinesType> colLines; // null when absent (before the first rows, after 04:00)
};
