// Harbour Loop: track description of the PitwallFeed sample track.
TrackName = Harbour Loop
VenueName = Harbour Loop Oval
Location = Nowhere in particular
Length = 0.74 km
TrackType = Road course
Direction = Anticlockwise
MaxVehicles = 24
PitSpeedLimit = 60 km/h
