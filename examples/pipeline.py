"""The end-to-end pipeline on a generated recording (the project's main job).

    python3 examples/pipeline.py --out runs/demo --clips 3 --seconds 8

Writes, under the run folder: the generated recordings, the extracted frames,
per clip the tracking output, the CSV report, rendered annotations and an
overlap heatmap, and summary.json / summary.txt. Progress goes to stderr; the
library's own lines go to stdout.
"""

import sys

from vexo_pipeline.run import main

if __name__ == "__main__":
    sys.exit(main())
