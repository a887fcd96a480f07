"""The code pages the checks write tables in, and text of each page's language.

Every page a language driver mark names (the engine's driver table), and pages only a .cpg
names: those users ask for (855, 1258), ISO 8859-1, -2 and -5, KOI8-R, and UTF-8. Each text uses the page's characters beyond
ASCII; all of it is in the page.
"""

PAGE_WORDS = {
    437: "Größe über, Crème brûlée, Año ñ ¿ £ ½",
    620: "Zażółć gęślą jaźń, ŁÓDŹ ŚĆĘĄŃŻ, Größe über",  # Mazovia
    737: "Καλημέρα κόσμε, ΑΒΓΔ ψωή",
    850: "Ålesund og Øresund, São João, ÃÕ ß ¥",
    852: "Zażółć gęślą jaźń, Příliš žluťoučký, Árvíztűrő",
    855: "Ђорђе, Љубљана, Њујорк, Џеп",
    857: "Işık ğüşö İstanbul, ÇĞŞ",
    860: "Ação e coração, São João, ÁÉÍÓÚ ÂÊÔ ÃÕ Ç",
    861: "Þórður Íslendingur, Ðð Ýý Áá",
    863: "Québec, Français, À côté, Être, Île, Noël",
    865: "Smørrebrød Ærø, Ålesund ø ¤",
    866: "Съешь же ещё этих булок, Ёё",
    874: "สวัสดีครับ ภาษาไทย",
    895: "Příliš žluťoučký kůň úpěl ďábelské ódy, ŘŠČŽ ŤĎŇ",  # Kamenický
    932: "日本語のテキスト、ｶﾀｶﾅ",
    936: "中文文本，简体字",
    949: "한국어 텍스트",
    950: "中文文本，繁體字",
    1250: "Příliš žluťoučký kůň, Zażółć, Árvíztűrő",
    1251: "Съешь ещё булок, Київ, Ђорђе",
    1252: "Crème brûlée, Zoë's café, Smørrebrød, € “Œuvre” – ß",
    1253: "Καλημέρα κόσμε, Άλφα",
    1254: "Işık ğüşö İstanbul, ÇĞŞ",
    1255: "שלום עולם",
    1256: "مرحبا بالعالم",
    1257: "Ąžuolas ir šaknys, Rīga, Ēė",
    1258: "Tiếng Việt, Đường phố",
    10000: "Crème brûlée, Zoë, Smørrebrød, Æon ß",
    10006: "Καλημέρα κόσμε",
    10007: "Съешь же ещё этих булок",
    10029: "Příliš žluťoučký kůň, Zażółć gęślą jaźń",
    20866: "Съешь же ещё этих булок",  # KOI8-R
    28591: "Crème brûlée, Zoë, Smørrebrød, ¿Año? ½ ©",  # ISO 8859-1
    28592: "Příliš žluťoučký kůň, Zażółć gęślą jaźń",  # ISO 8859-2
    28595: "Съешь же ещё этих булок, Ђорђе",  # ISO 8859-5
    65001: "Zoë, Привет, 日本, 한국어 €",
}

# Python's codec of each page; Mazovia (620) and Kamenický (895) have none.
PYTHON_CODECS = {
    437: "cp437", 737: "cp737", 850: "cp850", 852: "cp852", 855: "cp855", 857: "cp857",
    860: "cp860", 861: "cp861", 863: "cp863", 865: "cp865", 866: "cp866", 874: "cp874",
    932: "cp932", 936: "gbk", 949: "cp949", 950: "cp950", 1250: "cp1250", 1251: "cp1251",
    1252: "cp1252", 1253: "cp1253", 1254: "cp1254", 1255: "cp1255", 1256: "cp1256",
    1257: "cp1257", 1258: "cp1258", 10000: "mac_roman", 10006: "mac_greek",
    10007: "mac_cyrillic", 10029: "mac_latin2", 20866: "koi8_r", 28591: "iso8859_1",
    28592: "iso8859_2", 28595: "iso8859_5", 65001: "utf-8",
}
NO_CODEC = {620: "Mazovia", 895: "Kamenický"}

# Pages with characters of more than one byte.
MULTI_BYTE = {932, 936, 949, 950, 65001}
