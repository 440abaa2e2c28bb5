// placeholder until the family lands
