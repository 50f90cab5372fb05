namespace kinovar::gen {}
