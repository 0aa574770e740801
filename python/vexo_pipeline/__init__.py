"""Companion of vexo_utils: stand-ins for what lies outside the library.

The detector, the box-prompted segmenter with its image encoder, the video
propagation and the writer of per-frame tracking files are provided by the
caller in production. This package ships small classical versions with the
same call contracts, so the whole pipeline runs and is tested on a plain CPU.
"""

from ._vexo_pipeline import tracking_frame_json, write_tracking_frame

__all__ = ["tracking_frame_json", "write_tracking_frame"]
from .standins import StandinGroundingModel, StandinImagePredictor, StandinProcessor, make_detector, scripted_detections
from .synth import GroundTruth, generate_recording, load_manifest, propagate_masks
