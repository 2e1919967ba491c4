// The job's geometry in job pixels: the framing rounded into the scaled
// picture the frames are made of, and the window of that picture the stored
// frames hold so that the fan disc lies inside them.
#pragma once

// nearest(x) = floor(x + 0.5), halves upward also for negative x.
int nearestInt(double x);
// n for even n, n + 1 for odd n.
int evenInt(int n);

struct JobGeometry {
    int centerX = 0;
    int centerY = 0;
    int width = 0;
    int height = 0;
};
// Framing centre and frame size in job pixels.
JobGeometry computeJobGeometry(double scale, double centerX, double centerY, int mediaWidth,
                               int mediaHeight);

// Whether FFmpeg scales a picture to width x height: both at least 2 (a
// size of 0 would mean "as the input" to it) and (width + 128) x (height +
// 128) below 2^31 / 8, the largest picture it makes (about 16000 x 16000).
bool scalablePictureSize(int width, int height);

// The part of the scaled, flipped picture the stored frames hold, when that is
// not simply the whole picture: a window of it (crop) placed on a black frame
// (pad). Lets the frames cover the whole fan disc with black where the
// picture does not reach.
struct FrameWindow {
    bool active = false; // false: the frames are the scaled picture as it is
    int cropX = 0;       // kept part of the scaled picture, stored-frame pixels
    int cropY = 0;
    int cropWidth = 0;
    int cropHeight = 0;
    int width = 0; // frame size
    int height = 0;
    int padX = 0; // where the kept part lies in the frame
    int padY = 0;
};

// The window of the scaled picture the stored frames hold so that every pixel
// the engine reads for a disc of `lights` LEDs around the job centre lies in
// the frame: the engine clamps positions to the frame, which would stretch the
// picture's outermost pixels out to the rim where black belongs. Inactive when
// the picture already holds the disc. Otherwise, on each axis the picture
// does not hold, the frame is the disc's square plus one spare pixel each side
// (so a centre far outside the picture costs no more than the disc), and
// geometry's centre is moved into the frame.
FrameWindow fitFrameWindow(JobGeometry& geometry, int lights);

// The frames of a job: the scaled picture's geometry (for FFmpeg's scale),
// the window, and the stored frames' geometry (size and centre, for the
// engine).
struct JobFrames {
    JobGeometry scaled;
    FrameWindow window;
    JobGeometry frames;
};
JobFrames computeJobFrames(double scale, double centerX, double centerY, int mediaWidth,
                           int mediaHeight, int lights);
