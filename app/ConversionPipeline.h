// The conversion pipeline as the conversion controller sees it: start one
// conversion of a ConvertRequest and hear of it through callbacks; the
// request's ConvertCancel stops it in any stage. The real one is the media
// pipeline (MediaConvert); tests give the controller a stand-in.
#pragma once

#include "ConvertRequest.h"
#include "MediaConvert.h"

class ConversionPipeline {
public:
    virtual ~ConversionPipeline() = default;

    // Starts the conversion and returns at once. The callbacks keep the
    // contract of MediaConvert: onStart first, onResult exactly once and last;
    // they may come from any thread, but never from inside this call. The
    // pipeline lets go of its copies of the callbacks only once the job's
    // files are settled (temporary files gone, a cancelled job's output
    // removed).
    virtual void startConvert(ConvertRequest request, MediaConvert::Callbacks callbacks) = 0;
};

// The media pipeline: FFmpeg and the engine on the global thread pool. Its
// jobs run on after this object is gone.
class MediaConvertPipeline final : public ConversionPipeline {
public:
    void startConvert(ConvertRequest request, MediaConvert::Callbacks callbacks) override
    {
        convert.startConvert(std::move(request), std::move(callbacks));
    }

private:
    MediaConvert convert;
};
