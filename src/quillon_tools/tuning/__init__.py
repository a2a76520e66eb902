"""Tuning: spectra of the gyros and accelerometers, a review of ArduPilot's
gyro filters against them, rate-controller tracking and step response, and
parameter differences. Each answer comes from one vehicle's signal view;
`Log.spectrum`, `Log.filter_review`, `Log.rate_tracking`,
`Log.step_response`, `Log.pid_terms`, `Log.throttle_spectra` and
`Log.param_diff` ask for them, and `panels` gives
what a report draws."""

from ..formats import dataflash, mavlink, ulog
from .filter_review import Coverage, FilterReview
from .messages import tuning_messages
from .param_diff import DefaultsUnknown
from .peaks import Peak
from .pid_terms import PidTerms
from .rate_tracking import RateTracking
from .sources import NoSpectrum
from .spectrum import Spectrogram, Spectrum
from .step_response import NoStepResponse, StepResponse
from .throttle_spectra import NoThrottle, ThrottleSpectra

# Every message or topic the tuning answers may read, of any format: a log
# read for its report selects these too.
TUNING_MESSAGES = tuple(sorted({name for log_format in (dataflash, mavlink, ulog)
                                for name in tuning_messages(log_format)}))

__all__ = ["TUNING_MESSAGES", "Coverage", "DefaultsUnknown", "FilterReview", "NoSpectrum", "NoStepResponse", "NoThrottle",
           "Peak", "PidTerms", "RateTracking", "Spectrogram", "Spectrum", "StepResponse", "ThrottleSpectra",
           "tuning_messages"]
