# The main script of Tarvex for Safari as this build ships it: the agent's
# classes are there, and the agent's own scripts come in their place.
import sys

import tarvex_agent

print("Tarvex for Safari:", tarvex_agent.__doc__)
sys.exit(0)
