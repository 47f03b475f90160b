package a.b
class K {
  companion object {
    fun f() {}
  }
}

class K {
  companion object {
    fun f() {}
  }
}

class K {
  companion object Factory {
    fun f() {}
  }
}

class K {
  companion object Factory {
    fun f() {}
  }
}

companion object Factory {
    fun f() {}
  }

package p
fun top() {}

typealias Alias = String

object O {
  val h = { x: Int -> x }
}

object O {
  val h = { x: Int -> x }
}

val lam = { 1 }
val typed: () -> Unit = { }
val notLam = 1
val (p, q) = { 1 }
val x by lazy { 1 }
var noValue: Int

package com.acme

class Repo {
    fun find(id: Int): String = "x$id"
}

