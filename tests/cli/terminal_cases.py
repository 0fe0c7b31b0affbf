"""The Linux stub on a pseudo-terminal: echo is off while a password is typed
and on again afterwards, also after Ctrl-C, SIGTERM, SIGHUP and SIGQUIT, and
while Ctrl-Z holds the program stopped; the exit pause waits for Enter, is
skipped in a background job, and reports a console that cannot be read.
"""
import os
import signal

import pytest
from prompts import Answer, Session, password, run, wait_for
from run_cases import Inputs
from zip_writer import sfx_bytes

PROMPT = b"Please enter the password for %s: "
PAUSE = b"\r\n \r\n Press Enter to continue \r\n"
# enc_stored's two members, both asked for, then the exit pause.
SHOWN = b"".join(b"Inflating: %s..." % n + PROMPT % n + b"done\r\n" for n in (b"es.txt", b"empty.txt")) + PAUSE
PASSWORDS = [password("secret"), password("secret")]
PROMPTS = ["password es.txt", "password empty.txt"]


@pytest.fixture
def program(target, work, folder):
    """The stub with run_cases' enc_stored archive, and the folder it extracts to."""
    return make_program(target, work, folder)


def make_program(target, work, folder, archive="enc_stored"):
    if target.platform != "linux":
        pytest.skip("the terminal cases run a Linux stub natively")
    path, out = os.path.join(folder, "prog"), os.path.join(folder, "out")
    with open(target.stub, "rb") as stub, open(Inputs(os.path.join(work, "inputs")).archive(archive), "rb") as z:
        data = sfx_bytes(stub.read(), z.read())
    with open(path, "wb") as image:
        image.write(data)
    os.chmod(path, 0o755)
    os.makedirs(out)
    return path, out


def test_typed(program):
    result = run(*program, PASSWORDS + [Answer()], terminal=True)
    assert (result.status, result.prompts, result.echo) == (0, PROMPTS + ["pause"], [False, False, True])
    assert result.output == SHOWN + b"\r\n"  # the Enter at the pause is echoed


# How a program is ended at a password prompt, and the signal it ends by.
ENDINGS = {
    "ctrl-c": (PASSWORDS[:1] + [Answer(text=b"\x03")], signal.SIGINT),
    "sigterm": ([Answer(text=b"", signal=signal.SIGTERM)], signal.SIGTERM),
    "sighup": ([Answer(text=b"", signal=signal.SIGHUP)], signal.SIGHUP),
    "sigquit": ([Answer(text=b"", signal=signal.SIGQUIT)], signal.SIGQUIT),
}


@pytest.mark.parametrize("name", ENDINGS)
def test_ended_at_a_prompt(name, program):
    answers, number = ENDINGS[name]
    result = run(*program, answers, terminal=True)
    assert (result.status, result.prompts) == (-number, PROMPTS[:len(answers)])
    assert result.echo == [False] * len(answers), "echo on at a password prompt"
    assert result.echo_after, "echo still off after the end"
    assert b"secret" not in result.output


def test_ctrl_z_then_sigcont(program):
    """Echo is on while the program is stopped, off again once it goes on."""
    with Session(program[:1], program[1], terminal=True, job="foreground") as session:
        assert session.next_prompt() == PROMPTS[0]
        session.type(b"\x1a")
        assert wait_for(lambda: session.state() == "T"), "not stopped by Ctrl-Z"
        assert session.child.getecho(), "echo off while stopped"
        os.kill(session.job, signal.SIGCONT)
        assert wait_for(lambda: not session.child.getecho()), "echo on after SIGCONT"
        session.type(b"secret\n")
        session.answer(PASSWORDS[1:] + [Answer()], end_input=False)
    result = session.result
    assert (result.status, result.prompts) == (0, PROMPTS + ["pause"])
    assert result.output == SHOWN + b"\r\n"


def test_background_job(target, work, folder):
    """With standard output on the terminal, a background job ends without the
    exit pause (whose read would stop it)."""
    program = make_program(target, work, folder, "three")
    with Session(program[:1], program[1], terminal=True, job="background") as session:
        assert wait_for(lambda: session.state() in (None, "Z", "T"), 20), "no end in time"
        assert session.state() != "T", "stopped in the background"
    assert session.result.status == 0
    assert session.result.output == b"".join(b"Inflating: %s...done\r\n" % n for n in (b"one.txt", b"two.txt",
                                                                                        b"three.txt"))


def test_no_controlling_terminal(program):
    """Standard output on a terminal that is not the controlling one: the exit
    pause cannot open /dev/tty (ENXIO, 6) and says so."""
    result = run(*program, [], typeahead=b"secret\n", terminal="output")
    assert (result.status, result.prompts) == (0, PROMPTS + ["pause"])
    assert result.output == SHOWN + b"exit routine error GetLastError=6 \r\n"
