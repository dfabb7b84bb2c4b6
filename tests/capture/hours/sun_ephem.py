# Reads "LAT LON ANGLE START" lines (START in seconds since the epoch) and prints, for each, the
# next rising and setting of the sun's centre through ANGLE degrees after START, without
# refraction, as seconds since the epoch, or "always" / "never" when it does not cross.
import sys

import ephem

EPOCH = float(ephem.Date("1970/1/1"))
for line in sys.stdin:
    lat, lon, angle, start = line.split()
    place = ephem.Observer()
    place.lat, place.lon, place.horizon, place.pressure = lat, lon, angle, 0
    place.date = ephem.Date(EPOCH + int(start) / 86400.0)
    found = []
    for event in (place.next_rising, place.next_setting):
        try:
            found.append(str(round((float(event(ephem.Sun(), use_center=True)) - EPOCH) * 86400)))
        except ephem.AlwaysUpError:
            found.append("always")
        except ephem.NeverUpError:
            found.append("never")
    print(" ".join(found))
