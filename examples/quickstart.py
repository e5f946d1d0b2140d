"""A first look at velmora: import the module and list its classes."""

import velmora

print("velmora classes:", velmora.__all__)
