"""What the numbers in a log mean, as the autopilots define them: one table
per vocabulary, written once and imported wherever it is read.

`ardupilot` names ArduPilot's log events (by era), error subsystems and
their codes, mode-change reasons, flight modes per vehicle, firmware banners
and output functions; `px4` names PX4's flight modes, topics and output
functions; `mavlink` names MAVLink's severities, landed states, vehicle
types and autopilots. Firmware adds codes over time: an unknown number keeps
its number and has no name (None)."""
