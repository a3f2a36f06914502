#!/usr/bin/env python3
"""Writes examples/sample-update/: a small update for the fictional game 星の記憶 (Hoshi no
Kioku): its UPDATE.INI and agreement text in code page 932, a game executable, a script
archive, a title bitmap, a music track and an update history. Deterministic: the same files on
every run. The files are committed; run this only to change them."""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, 'sample-update')


def write(name, data):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)


def cp932(text):
    return text.replace('\n', '\r\n').encode('cp932')


UPDATE_INI = """[SETUP]
CompanyName=ほしぞらソフト
GameTitle=星の記憶
GameClass=HoshiKiokuMainWindow
GameDir=HoshiKioku
UpdaterVersion=1.02
UpdateMessage=「星の記憶」を Ver.1.02 に更新します。\\nセーブデータはそのままお使いいただけます。
AgreementText=使用許諾.txt

[UPDATE]
RequiredDiskSpace=4194304
UpdateFile00=hoshi.exe
UpdateFile01=u,script.dat
UpdateFile02=title.bmp
UpdateFile03=bgm01.ogg
UpdateFile04=更新履歴.txt
UpdateFile05=d,config.ini
"""

AGREEMENT = """星の記憶 Ver.1.02 アップデータ 使用許諾

本アップデータは「星の記憶」を正規にお持ちのお客様のみお使いいただけます。
アップデートの前に、セーブデータのバックアップをお勧めします。

上記に同意いただける場合は「同意する」を選んで「次へ」を押してください。
"""

HISTORY = """星の記憶 更新履歴

Ver.1.02
・第三章で特定の選択肢を選ぶと進行できなくなる不具合を修正しました。
・タイトル画面の画像を差し替えました。
・BGM「星降る丘」の音量を調整しました。

Ver.1.01
・一部の環境で起動時にエラーが出る不具合を修正しました。
"""

CONFIG = """[CONFIG]
ScreenMode=0
TextSpeed=5
BgmVolume=80
SeVolume=80
"""


def script_archive(rng):
    """Scenario script of the game, as the engine reads it: commands and lines of text."""
    names = ['美咲', '翔太', '先生', '？？？']
    lines = ['今日は星がよく見えるね。', 'あの星の名前、知ってる？', 'もう一度、あの丘に行こう。',
             '……そうだね。', '約束だよ。', '夜空を見上げると、思い出すんだ。']
    out = []
    for scene in range(1, 41):
        out.append('*scene%03d' % scene)
        out.append('@bg storage="bg%02d" time=500' % rng.randrange(1, 20))
        for _ in range(rng.randrange(10, 30)):
            if rng.random() < 0.2:
                out.append('@se storage="se%02d"' % rng.randrange(1, 12))
            out.append('【%s】「%s」[p]' % (rng.choice(names), rng.choice(lines)))
    return cp932('\n'.join(out) + '\n')


def bitmap(w, h):
    """24-bit bottom-up BMP: a night sky gradient, a hill, and a few stars."""
    row = (w * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(h):
        line = bytearray()
        for x in range(w):
            top = h - 1 - y
            b, g, r = 80 + top * 100 // h, 20 + top * 40 // h, 10 + top * 20 // h
            if y < h // 4 + (x - w // 2) ** 2 // (w * 2):
                b, g, r = 30, 70, 40  # the hill
            if (x * 7 + y * 13) % 97 == 0 and y > h // 3:
                b, g, r = 255, 255, 230  # a star
            line += bytes((b, g, r))
        pixels += line + bytes(row - len(line))
    header = b'BM' + struct.pack('<IHHI', 54 + len(pixels), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + bytes(pixels)


def executable(rng, size):
    """Looks like a small Windows program: headers, code, tables, strings, zero fill."""
    out = bytearray(b'MZ' + bytes(58) + struct.pack('<I', 0x80) + bytes(64) + b'PE\0\0')
    out += bytes(0x400 - len(out))
    shapes = [b'\x55\x48\x89\xe5', b'\x48\x83\xec\x20', b'\x48\x8b\x45', b'\xe8', b'\xc3',
              b'\x31\xc0', b'\x48\x8d\x0d', b'\xff\x15']
    while len(out) < size * 6 // 10:
        s = rng.choice(shapes)
        out += s + bytes(rng.randrange(256) for _ in range(rng.choice((0, 1, 4))))
    out += bytes(-len(out) % 512)
    for text in ('CreateFileW', 'ReadFile', 'MessageBoxW', 'DirectSoundCreate', 'timeGetTime'):
        out += struct.pack('<H', rng.randrange(400)) + text.encode() + b'\0'
    out += bytes(size - len(out))
    return bytes(out[:size])


def main():
    os.makedirs(OUT, exist_ok=True)
    rng = random.Random(102)
    write('UPDATE.INI', cp932(UPDATE_INI))
    write('使用許諾.txt', cp932(AGREEMENT))
    write('更新履歴.txt', cp932(HISTORY))
    write('config.ini', cp932(CONFIG))
    write('script.dat', script_archive(rng))
    write('title.bmp', bitmap(160, 120))
    write('hoshi.exe', executable(rng, 48 * 1024))
    # Ogg Vorbis audio is already compressed: pages of random bytes behind a page header.
    ogg = bytearray()
    for page in range(24):
        ogg += b'OggS\0' + bytes([2 if page == 0 else 0]) + struct.pack('<QIII', page * 1024, 7, page, 0)
        ogg += bytes(rng.randrange(256) for _ in range(4000))
    write('bgm01.ogg', bytes(ogg))


if __name__ == '__main__':
    main()
