// The text of quorvel-render --help.
#pragma once

namespace quorvel::render {

inline constexpr const char* kHelp =
    R"(NAME
    quorvel-render - render a view of the Mandelbrot set, or a zoom movie into it

SYNOPSIS
    quorvel-render [--centre X Y] [--radius R] [--iterations N] [--size WxH]
                   [--supersampling F] [--gamma G] [--generator contour|box|brute]
                   [--deep-kernel auto|exact|perturbation|plain] [--palette FILE]
                   [--place FILE[:SLOT] | --load FILE] [--out FILE]
                   [--jobs N]
    quorvel-render ...the same view options... --zoom-frames N [--zoom-from R0]
                   [--iterations-from N0] [--frames A:B] [--video FILE.mp4]
                   --out frames/%05d.png
    quorvel-render --help

DESCRIPTION
    Computes one view with the quorvel engine, without a window, and writes it
    as a PNG or uncompressed 24-bit TGA picture; or renders a zoom movie into
    the view, one picture per frame. Views of any depth are given and printed
    as exact text: centres of any length, radii of any exponent.

    The work is shared by worker processes, each with its own engine context:
    a movie's frames, or horizontal bands of a single picture. With brute
    force the bands give the same picture as one process when the sizes are
    powers of two, at any depth; contour tracing and box matching may infer a
    few pixels near the band edges differently.

    While it computes, a progress bar on standard error shows the progress;
    when standard error is not a terminal, one line is printed at the end
    instead (for a movie: one line per frame). Finally the centre (in
    hexadecimal text and in decimal, with enough digits for the view), the
    radius, the iteration limit, the seconds and the efficiency are printed on
    standard output.

    PNG pictures carry their view in a tEXt chunk ("quorvel view"): the exact
    centre, radius, iteration limit, supersampling, gamma and palette file.

OPTIONS
    --centre X Y
        Centre of the view, real part X and imaginary part Y. Each is a decimal
        number (-0.743643887037151) or the engine's hexadecimal text form
        (-B.E5F721EB1E3C8x-1: hexadecimal digits with a point, a lower-case x
        and the binary exponent of the first digit's top bit), both of any
        length, every digit kept; a warning says when a decimal has fewer
        digits than the radius needs. Default -0.5 0.
    --radius R
        Half the extent of the view along its longer side; above 0, decimal
        with any exponent (2e-1086) or the hexadecimal form. A radius of 2 or
        more shows the whole set, centred on 0. Default 1.5.
    --iterations N
        Iteration limit, 2 to 4294967295. Default 150, or the limit stored in
        the place, picture or history file.
    --size WxH
        Picture size in pixels. Default 600x600.
    --supersampling F
        Samples per pixel along each axis, 1 to 8. The computed grid, W*F by
        H*F, may be at most 32767 along each side. Default 1.
    --gamma G
        Gamma used when averaging supersamples. Default 1.75.
    --generator contour|box|brute
        Strategy: contour tracing (default), box matching or brute force.
    --deep-kernel auto|exact|perturbation|plain
        Kernel for views too deep for doubles: the 192-bit kernel (exact),
        perturbation from a reference orbit skipping iterations with linear
        steps where they are valid, plain perturbation stepping every
        iteration, or auto (default): the 192-bit kernel down to radius
        1e-30, perturbation with skipping below.
    --palette FILE
        Palette of 256 red, green, blue byte triplets (768 bytes). Default: def.pal
        in the program's folder; without it, a grey ramp.
    --place FILE[:SLOT]
        Start from a view stored in a places file (12 records of 100 bytes, as
        the viewer writes them; SLOT is 0 to 11, default 0), or from the view a
        PNG picture of quorvel-render or the viewer carries, with its size,
        supersampling, gamma and palette.
    --load FILE
        Start from the current view of a history file, with its size,
        supersampling, gamma, strategy, palette and any pixels it holds. A
        single picture from a history file is computed in one process.
    --out FILE
        Picture to write; the extension .png or .tga chooses the format.
        Default quorvel.png. The picture appears only when complete. For a
        movie, a pattern with one frame number such as frames/%05d.png.
    --jobs N
        Worker processes, 1 to 1024. Default: the number of processors.

ZOOM MOVIES
    --zoom-frames N
        Render N frames into the view given by the options above. The centre
        stays at the view's centre; the radius shrinks geometrically from R0
        (frame 0) to the view's radius (frame N-1).
    --zoom-from R0
        Radius of frame 0, above 0 and at most 2, of any exponent. Default 2.
    --iterations-from N0
        Iteration limit of frame 0; the limit grows linearly with the logarithm
        of the zoom up to the view's limit. Default 150, or the view's limit
        when that is lower.
    --frames A:B
        Render only frames A to B, both included (frames count from 0).
        Frames that exist are skipped: running the same command again resumes
        an interrupted movie. Each frame appears only when complete.
    --video FILE
        Also encode the frames A to B, in order, into a video with the ffmpeg
        program (30 frames per second); the frames are kept.

EXIT STATUS
    0   the picture, or every frame, was written
    1   the picture could not be computed or written, or a worker died; frames
        already written are complete, and a rerun completes the rest
    2   a bad argument: an unknown option, a value out of range, an unreadable
        palette, place or history file, an unwritable output folder or a
        missing ffmpeg; nothing was written

EXAMPLES
    quorvel-render --size 1920x1080 --supersampling 4 --out wallpaper.png
    quorvel-render --centre -0.743643887037151 0.131825904205330 --radius 1e-10 \
                   --iterations 5000 --out spiral.tga
    quorvel-render --place spiral.png --size 3840x2160 --out spiral-4k.png
    quorvel-render --centre -0.743643887037151 0.131825904205330 --radius 1e-10 \
                   --iterations 5000 --size 300x300 --zoom-frames 120 \
                   --out dive/%05d.png --video dive.mp4
)";

}  // namespace quorvel::render
