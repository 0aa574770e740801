"""The end-to-end pipeline on generated recordings (the project's main job).

    python3 examples/pipeline.py --out runs/demo

Writes, under the run folder: the generated recordings with their ground
truth and planted faults, the crop regions and pen files, the frames of
every clip, per pen and clip the tracking output, the CSV report, the
pictures (initializer, matcher prompts, annotation, heatmap, overlap
episode), and summary.json / summary.txt scoring the review chain against
the truth. Progress goes to stderr; the library's own lines go to stdout.
Exits with status 1 when a clip could not be tracked (unless
--allow-skipped), 2 on bad settings or a run folder it cannot use.
"""

import sys

from vexo_pipeline.run import main

if __name__ == "__main__":
    sys.exit(main())
