// The body of one conversion job, run on a pool worker by MediaConvert: where
// the fan file goes, the job's private temporary folder, the frames' geometry,
// one FFmpeg run streamed into the engine, and the placement of the result.
#pragma once

#include "MediaConvert.h"

// The body of one job; reports through the callbacks as MediaConvert
// describes.
void handleMedia(const ConvertRequest& request, const MediaConvert::Callbacks& callbacks);

// The folder that holds the jobs' private temporary folders (see
// JobTempFolder): <temp>/spindra-<uid>, or its stand-in when that is not
// this user's. Empty when there is none.
QString mediaTempFolder();
