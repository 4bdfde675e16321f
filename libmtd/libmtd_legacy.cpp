// placeholder until the real module lands
