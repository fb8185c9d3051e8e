// Pitwall Ring: track description of the PitwallFeed sample track.
TrackName = Pitwall Ring
VenueName = Pitwall Ring Club Circuit
Location = Nowhere in particular
Length = 3.73 km
TrackType = Road course
Direction = Anticlockwise
MaxVehicles = 24
PitSpeedLimit = 60 km/h
