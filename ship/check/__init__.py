"""The check side: a package's tables read, its runs walked, and the rules it must keep."""
