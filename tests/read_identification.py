#!/usr/bin/python3
"""Reads the basic device identification (function 43 / MEI 14) of a Modbus
TCP server with pymodbus and prints one object per line: id, then its text."""
import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.mei_message import ReadDeviceInformationRequest

client = ModbusTcpClient(sys.argv[1], port=int(sys.argv[2]), timeout=3)
if not client.connect():
    sys.exit("no connection")
answer = client.execute(ReadDeviceInformationRequest(read_code=int(sys.argv[3]), object_id=0, unit=1))
client.close()
if answer.isError():
    sys.exit("error answer: %s" % answer)
print("conformity %#04x" % answer.conformity)
for object_id, value in sorted(answer.information.items()):
    print("%d %s" % (object_id, value.decode("latin-1")))
